#include "tools/jwgate/sparkplug/payload_json.h"

#include <nlohmann/json.hpp>

#include "tools/jwgate/sparkplug/payload_check.h"
#include "tools/jwgate/sparkplug/sparkplug_payloads.h"

namespace jwgate::sparkplug {
namespace {

using json = nlohmann::ordered_json;

std::string TypeName(std::uint32_t type) {
    return sparkplug_b::DataType_IsValid(static_cast<int>(type))
               ? sparkplug_b::DataType_Name(static_cast<DataType>(type))
               : std::to_string(type);
}

// A value field as JSON; an integer by its datatype's sign and width.
template <typename Value>
json ValueJson(const Value& value, std::uint32_t type) {
    using Case = decltype(value.value_case());
    switch (static_cast<int>(value.value_case())) {
        case static_cast<int>(Case::kIntValue): {
            const auto integer = IntegerValueOf(static_cast<DataType>(type), value.int_value());
            return integer ? json(*integer) : json(value.int_value());
        }
        case static_cast<int>(Case::kLongValue): return value.long_value();
        case static_cast<int>(Case::kFloatValue): return value.float_value();
        case static_cast<int>(Case::kDoubleValue): return value.double_value();
        case static_cast<int>(Case::kBooleanValue): return value.boolean_value();
        case static_cast<int>(Case::kStringValue): return value.string_value();
        default: break;
    }
    return nullptr;
}

json PropertiesJson(const Payload::PropertySet& properties) {
    json object = json::object();
    for (int index = 0; index < properties.keys_size() && index < properties.values_size(); ++index) {
        const Payload::PropertyValue& value = properties.values(index);
        object[properties.keys(index)] = value.is_null() ? json(nullptr) : ValueJson(value, value.type());
    }
    return object;
}

json MetricJson(const Metric& metric) {
    json object = json::object();
    if (metric.has_name()) object["name"] = metric.name();
    if (metric.has_alias()) object["alias"] = metric.alias();
    if (metric.has_timestamp()) object["timestamp"] = metric.timestamp();
    if (metric.has_datatype()) object["datatype"] = TypeName(metric.datatype());
    object["value"] = metric.is_null() ? json(nullptr) : ValueJson(metric, metric.datatype());
    if (metric.is_null()) object["is_null"] = true;
    if (metric.is_historical()) object["is_historical"] = true;
    if (metric.is_transient()) object["is_transient"] = true;
    if (metric.has_properties()) object["properties"] = PropertiesJson(metric.properties());
    return object;
}

}  // namespace

std::optional<std::string> PayloadJson(std::string_view bytes) {
    Payload payload;
    if (!ParsePayload(bytes, &payload)) return std::nullopt;
    std::string text = "{";
    if (payload.has_timestamp()) text += "\"timestamp\": " + std::to_string(payload.timestamp()) + ", ";
    if (payload.has_seq()) text += "\"seq\": " + std::to_string(payload.seq()) + ", ";
    text += "\"metrics\": [";
    for (int index = 0; index < payload.metrics_size(); ++index) {
        text += (index == 0 ? "\n  " : ",\n  ") + MetricJson(payload.metrics(index)).dump(-1, ' ', false,
                                                                                           json::error_handler_t::replace);
    }
    return text + (payload.metrics_size() > 0 ? "\n]}\n" : "]}\n");
}

}  // namespace jwgate::sparkplug
