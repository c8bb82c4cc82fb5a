#include "tools/jwgate/sparkplug/sparkplug_payloads.h"

#include <algorithm>
#include <cmath>

namespace jwgate::sparkplug {
namespace {

void AddProperty(Metric& metric, const std::string& key, DataType type, const std::string* text, int number) {
    auto* properties = metric.mutable_properties();
    properties->add_keys(key);
    auto* value = properties->add_values();
    value->set_type(type);
    if (text != nullptr) {
        value->set_string_value(*text);
    } else {
        value->set_int_value(static_cast<std::uint32_t>(number));
    }
}

Metric& AddMetric(Payload& payload, const std::string& name, DataType type, std::int64_t timeMs) {
    Metric& metric = *payload.add_metrics();
    metric.set_name(name);
    metric.set_datatype(type);
    metric.set_timestamp(static_cast<std::uint64_t>(timeMs));
    return metric;
}

// The engineering value in the field its datatype travels in; a signed
// integer as its 32-bit two's complement.
void SetValue(Metric& metric, const PointConfig& point, double value) {
    const DataType type = DataTypeOf(point);
    if (type == sparkplug_b::Boolean) return metric.set_boolean_value(value != 0);
    if (type == sparkplug_b::Double) return metric.set_double_value(value);
    if (type == sparkplug_b::Float) return metric.set_float_value(static_cast<float>(value));
    const ValueBounds bounds = BoundsOf(point.type);
    const auto whole = static_cast<std::int64_t>(std::llround(std::clamp(value, bounds.low, bounds.high)));
    metric.set_int_value(static_cast<std::uint32_t>(whole));
}

void AddPointMetric(Payload& payload, const PointReadingRef& entry, std::int64_t nowMs, bool describe,
                    bool historical) {
    const StoredReading& reading = entry.reading;
    Metric& metric = AddMetric(payload, entry.point->name, DataTypeOf(*entry.point),
                               reading.readMs > 0 ? reading.readMs : nowMs);
    if (historical) metric.set_is_historical(true);
    // A bad reading has no value to give, even when an older good one is kept.
    if (reading.value && reading.quality != Quality::kBad) {
        SetValue(metric, *entry.point, *reading.value);
    } else {
        metric.set_is_null(true);
    }
    AddProperty(metric, kQualityProperty, sparkplug_b::Int32, nullptr, QualityCode(reading.quality));
    if (!describe) return;
    if (!entry.point->unit.empty()) AddProperty(metric, kUnitProperty, sparkplug_b::String, &entry.point->unit, 0);
    const int decimals = DecimalsOf(entry.point->type, entry.point->scaling, entry.point->precision);
    if (decimals >= 0 && DataTypeOf(*entry.point) == sparkplug_b::Double) {
        AddProperty(metric, kPrecisionProperty, sparkplug_b::Int32, nullptr, decimals);
    }
}

Payload Stamped(std::int64_t nowMs) {
    Payload payload;
    payload.set_timestamp(static_cast<std::uint64_t>(nowMs));
    return payload;
}

// The line's counters as metrics, in a fixed order.
void AddCounterMetrics(Payload& payload, const ScanCounters& counters, std::int64_t nowMs) {
    const std::pair<const char*, std::uint64_t> totals[] = {
        {"Line/Exchanges", counters.exchanges},   {"Line/Failures", counters.failures},
        {"Line/Writes", counters.writes},         {"Line/Write Failures", counters.writeFailures},
        {"Line/Writes Dropped", counters.writesDropped}, {"Line/Scans", counters.scans},
        {"Line/Port Reopens", counters.portReopens},
    };
    for (const auto& [name, total] : totals) AddMetric(payload, name, sparkplug_b::UInt64, nowMs).set_long_value(total);
    AddMetric(payload, "Line/Last Scan ms", sparkplug_b::Double, nowMs).set_double_value(counters.lastScanMs);
    AddMetric(payload, "Line/Port Open", sparkplug_b::Boolean, nowMs).set_boolean_value(counters.portOpen);
}

}  // namespace

int QualityCode(Quality quality) {
    switch (quality) {
        case Quality::kGood: return kQualityGood;
        case Quality::kStale: return kQualityStale;
        case Quality::kBad: break;
    }
    return kQualityBad;
}

DataType DataTypeOf(const PointConfig& point) {
    if (point.type == ValueType::kRelay) return sparkplug_b::Boolean;
    if (!point.scaling.Identity()) return sparkplug_b::Double;
    switch (point.type) {
        case ValueType::kU8: return sparkplug_b::UInt8;
        case ValueType::kI8: return sparkplug_b::Int8;
        case ValueType::kU16: return sparkplug_b::UInt16;
        case ValueType::kI16: return sparkplug_b::Int16;
        case ValueType::kU32: return sparkplug_b::UInt32;
        case ValueType::kI32: return sparkplug_b::Int32;
        case ValueType::kFloat: return sparkplug_b::Float;
        case ValueType::kRelay: break;
    }
    return sparkplug_b::Boolean;
}

Payload NodeBirthPayload(std::uint64_t bdSeq, const ScanCounters& counters, std::int64_t nowMs) {
    Payload payload = Stamped(nowMs);
    payload.set_seq(0);
    AddMetric(payload, kBdSeqMetric, sparkplug_b::UInt64, nowMs).set_long_value(bdSeq);
    AddMetric(payload, kRebirthMetric, sparkplug_b::Boolean, nowMs).set_boolean_value(false);
    AddCounterMetrics(payload, counters, nowMs);
    return payload;
}

Payload NodeDataPayload(const ScanCounters& counters, const ScanCounters& sent, std::int64_t nowMs) {
    Payload now;
    Payload before;
    AddCounterMetrics(now, counters, nowMs);
    AddCounterMetrics(before, sent, nowMs);
    Payload payload = Stamped(nowMs);
    for (int index = 0; index < now.metrics_size(); ++index) {
        if (now.metrics(index).SerializeAsString() != before.metrics(index).SerializeAsString()) {
            *payload.add_metrics() = now.metrics(index);
        }
    }
    return payload;
}

Payload NodeDeathPayload(std::uint64_t bdSeq, std::int64_t nowMs) {
    Payload payload = Stamped(nowMs);
    AddMetric(payload, kBdSeqMetric, sparkplug_b::UInt64, nowMs).set_long_value(bdSeq);
    return payload;
}

Payload DeviceBirthPayload(const std::vector<PointReadingRef>& metrics, std::int64_t nowMs) {
    Payload payload = Stamped(nowMs);
    for (const PointReadingRef& entry : metrics) AddPointMetric(payload, entry, nowMs, true, false);
    return payload;
}

Payload DeviceDataPayload(const std::vector<PointReadingRef>& metrics, std::int64_t nowMs, bool historical) {
    Payload payload = Stamped(nowMs);
    for (const PointReadingRef& entry : metrics) AddPointMetric(payload, entry, nowMs, false, historical);
    return payload;
}

Payload DeviceDeathPayload(std::int64_t nowMs) { return Stamped(nowMs); }

std::optional<std::int64_t> IntegerValueOf(DataType type, std::uint32_t bits) {
    const auto widthOf = [](DataType integer) {
        if (integer == sparkplug_b::Int8 || integer == sparkplug_b::UInt8) return 8;
        if (integer == sparkplug_b::Int16 || integer == sparkplug_b::UInt16) return 16;
        return 32;
    };
    const int width = widthOf(type);
    const bool isSigned = type == sparkplug_b::Int8 || type == sparkplug_b::Int16 || type == sparkplug_b::Int32;
    if (width == 32) return isSigned ? std::int64_t {static_cast<std::int32_t>(bits)} : std::int64_t {bits};
    const std::uint32_t span = 1u << width;
    if (bits < span) {
        const std::int64_t value = bits;
        return isSigned && value >= span / 2 ? value - span : value;
    }
    // Sign-extended: the upper bits all set and the type's sign bit too.
    const std::int64_t value = static_cast<std::int32_t>(bits);
    if (isSigned && value < 0 && value >= -static_cast<std::int64_t>(span / 2)) return value;
    return std::nullopt;
}

}  // namespace jwgate::sparkplug
