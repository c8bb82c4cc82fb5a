// The payloads the gateway publishes as a Sparkplug B edge node, built from
// its points and their stored readings. A point is a metric named as the
// point, of the datatype its value type gives (a scaled point is a Double in
// its unit), stamped with the time of the read; its unit and decimals go
// with it in the births as properties, its quality in every message.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/sparkplug/sparkplug_b.pb.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate::sparkplug {

using Payload = sparkplug_b::Payload;
using Metric = sparkplug_b::Payload::Metric;
using DataType = sparkplug_b::DataType;

// The node's own metrics that hosts know by name.
inline constexpr char kBdSeqMetric[] = "bdSeq";
inline constexpr char kRebirthMetric[] = "Node Control/Rebirth";
// The property keys of a point's metric.
inline constexpr char kQualityProperty[] = "Quality";
inline constexpr char kUnitProperty[] = "engUnit";
inline constexpr char kPrecisionProperty[] = "precision";

// The quality codes hosts read from the "Quality" property.
inline constexpr int kQualityBad = 0;
inline constexpr int kQualityGood = 192;
inline constexpr int kQualityStale = 500;
int QualityCode(Quality quality);

// Boolean for relays, UInt8 to Int32 and Float by value type, Double for a
// point with a scale or an offset.
DataType DataTypeOf(const PointConfig& point);

// A point and its reading, as a metric goes out.
struct PointReadingRef {
    const PointConfig* point;
    StoredReading reading;
};

// Each metric's timestamp is its read's time (nowMs before any good read).
// seq is left to the session, which numbers every message it sends.
Payload NodeBirthPayload(std::uint64_t bdSeq, const ScanCounters& counters, std::int64_t nowMs);
// The line's counters that differ from those last sent; none when none do.
Payload NodeDataPayload(const ScanCounters& counters, const ScanCounters& sent, std::int64_t nowMs);
// bdSeq alone and no seq: what the broker sends for a node that is gone.
Payload NodeDeathPayload(std::uint64_t bdSeq, std::int64_t nowMs);
// Every metric of a station, with its unit and decimals.
Payload DeviceBirthPayload(const std::vector<PointReadingRef>& metrics, std::int64_t nowMs);
// Values of a station's metrics; historical ones are marked so that hosts
// keep them out of the current state.
Payload DeviceDataPayload(const std::vector<PointReadingRef>& metrics, std::int64_t nowMs, bool historical);
Payload DeviceDeathPayload(std::int64_t nowMs);

// An integer datatype's value from the 32 bits it travels in, a signed one
// sign-extended to 32 bits or not; nothing when the bits hold more than the
// type does (300 as a UInt8).
std::optional<std::int64_t> IntegerValueOf(DataType type, std::uint32_t bits);

}  // namespace jwgate::sparkplug
