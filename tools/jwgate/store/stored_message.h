// What the gateway keeps of a message it publishes, apart from how any one
// side words or routes it: a point's value with its quality and the time of
// the read that gave it, or (the JSON side's alone) an answer to a write
// request, worded already.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "tools/jwgate/core/point_table.h"

namespace jwgate {

// The sides that send what the store keeps, each a bit of a message's
// lanes: each acknowledges on its own, and a message leaves the backlog
// once no lane needs it.
using StoreLanes = unsigned;
inline constexpr StoreLanes kJsonLane = 1;       // the JSON MQTT side
inline constexpr StoreLanes kSparkplugLane = 2;  // the Sparkplug B edge node
inline constexpr StoreLanes kEveryLane = kJsonLane | kSparkplugLane;

struct StoredReading {
    std::string point;             // the point's name
    std::optional<double> value;   // the engineering value as published; none before the first good read
    Quality quality = Quality::kBad;
    std::int64_t readMs = 0;       // the read's wall-clock time, ms since 1970; 0 before the first good read
};

struct StoredAnswer {
    std::string topic;
    std::string payload;
    std::string correlation;    // MQTT 5 correlation data; may be empty
    std::string responseTopic;  // MQTT 5 response topic; may be empty
};

struct StoredMessage {
    std::uint64_t id = 0;  // grows in the order of production; never reused in one store
    std::int64_t producedMs = 0;
    std::variant<StoredReading, StoredAnswer> body;
};

// One of a point's kept values, for the history.
struct HistoryRow {
    std::int64_t readMs = 0;
    std::optional<double> value;
    Quality quality = Quality::kBad;
};

}  // namespace jwgate
