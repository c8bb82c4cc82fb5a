// A "<topic>/set" request and its outcome as MQTT carries them. A request
// is a bare number, true/false, or {"value": n, "id": anything}; its
// outcome goes to "<topic>/set/result" as
// {"id": ..., "ok": true|false, "value": ..., "raw": ..., "error": null|"..."},
// the id as the request gave it (null without one).
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/write_queue.h"

namespace jwgate {

struct SetRequest {
    nlohmann::json id;            // null when the request gave none
    std::optional<double> value;  // nothing when it is not a number
};

SetRequest ParseSetRequest(const std::string& payload);

struct SetResult {
    nlohmann::json id;
    std::optional<double> value;       // as requested
    std::optional<std::uint32_t> raw;  // the controller's bytes it became, once it did
    std::string error;                 // empty when the controller took it
};

std::string SetResultJson(ValueType type, const SetResult& result);

// Why a write failed, in words for the result; empty for a write done.
// writeTimeoutMs is the queue's age limit.
std::string WriteErrorText(const WriteOutcome& outcome, const PointConfig& point, int writeTimeoutMs);

}  // namespace jwgate
