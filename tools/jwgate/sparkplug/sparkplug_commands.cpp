#include "tools/jwgate/sparkplug/sparkplug_commands.h"

#include <cmath>

#include "tools/jwgate/sparkplug/payload_check.h"
#include "tools/jwgate/sparkplug/sparkplug_payloads.h"

namespace jwgate::sparkplug {
namespace {

// Which value field a datatype travels in.
Metric::ValueCase FieldOf(DataType type) {
    if (type == sparkplug_b::Boolean) return Metric::kBooleanValue;
    if (type == sparkplug_b::Float) return Metric::kFloatValue;
    if (type == sparkplug_b::Double) return Metric::kDoubleValue;
    return Metric::kIntValue;
}

// The engineering value metric carries for a point of type, or the reason it carries none.
std::optional<double> ValueFor(const Metric& metric, DataType type, std::string* reason) {
    if (metric.has_datatype() && metric.datatype() != static_cast<std::uint32_t>(type)) {
        *reason = "wrong datatype: the point is " + sparkplug_b::DataType_Name(type);
        return std::nullopt;
    }
    if (metric.is_null() || metric.value_case() == Metric::VALUE_NOT_SET) {
        *reason = "no value";
        return std::nullopt;
    }
    if (metric.value_case() != FieldOf(type)) {
        *reason = "wrong datatype: the point is " + sparkplug_b::DataType_Name(type);
        return std::nullopt;
    }
    switch (metric.value_case()) {
        case Metric::kBooleanValue: return metric.boolean_value() ? 1 : 0;
        case Metric::kDoubleValue: return metric.double_value();
        case Metric::kFloatValue: return metric.float_value();
        default: break;
    }
    const auto integer = IntegerValueOf(type, metric.int_value());
    if (!integer) *reason = "out of range for " + sparkplug_b::DataType_Name(type);
    return integer ? std::optional<double>(static_cast<double>(*integer)) : std::nullopt;
}

std::optional<std::size_t> PointNamed(const std::string& name, int station, const std::vector<PointConfig>& points) {
    for (std::size_t index = 0; index < points.size(); ++index) {
        if (points[index].name == name && points[index].item.station == station) return index;
    }
    return std::nullopt;
}

void TakeWrite(const Metric& metric, int station, const std::vector<PointConfig>& points, DeviceCommand& command) {
    const auto point = PointNamed(metric.name(), station, points);
    std::string reason;
    if (!point) {
        reason = metric.name().empty() ? "no name" : "unknown metric";
    } else if (!points[*point].writable) {
        reason = "read-only point";
    } else if (const auto value = ValueFor(metric, DataTypeOf(points[*point]), &reason)) {
        if (std::isfinite(*value)) {
            command.writes.push_back({*point, *value});
            return;
        }
        reason = "not a finite number";
    }
    command.refusals.push_back({metric.name(), reason});
}

}  // namespace

std::optional<NodeCommand> ParseNodeCommand(std::string_view bytes) {
    Payload payload;
    if (!ParsePayload(bytes, &payload)) return std::nullopt;
    NodeCommand command;
    for (const Metric& metric : payload.metrics()) {
        if (metric.name() == kRebirthMetric && metric.value_case() == Metric::kBooleanValue) {
            command.rebirth = command.rebirth || metric.boolean_value();
        } else {
            command.refusals.push_back({metric.name(), metric.name() == kRebirthMetric ? "wrong datatype: the metric is Boolean"
                                                                                       : "unknown metric"});
        }
    }
    return command;
}

std::optional<DeviceCommand> ParseDeviceCommand(std::string_view bytes, int station,
                                                const std::vector<PointConfig>& points) {
    Payload payload;
    if (!ParsePayload(bytes, &payload)) return std::nullopt;
    DeviceCommand command;
    for (const Metric& metric : payload.metrics()) TakeWrite(metric, station, points, command);
    return command;
}

}  // namespace jwgate::sparkplug
