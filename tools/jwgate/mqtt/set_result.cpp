#include "tools/jwgate/mqtt/set_result.h"

#include <cmath>
#include <cstdio>

#include "tools/jwgate/core/station_state.h"

namespace jwgate {
namespace {

// Whole numbers of integer types as integers: 21, not 21.0.
nlohmann::json NumberJson(ValueType type, double number) {
    constexpr double kExactIntegers = 9007199254740992.0;  // 2^53
    if (type != ValueType::kFloat && std::trunc(number) == number && std::fabs(number) < kExactIntegers) {
        return static_cast<std::int64_t>(number);
    }
    return number;
}

}  // namespace

SetRequest ParseSetRequest(const std::string& payload) {
    SetRequest request;
    nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (json.is_object()) {
        if (json.contains("id")) request.id = json["id"];
        json = json.contains("value") ? json["value"] : nlohmann::json();
    }
    if (json.is_boolean()) {
        request.value = json.get<bool>() ? 1 : 0;
    } else if (json.is_number()) {
        request.value = json.get<double>();
    }
    return request;
}

std::string SetResultJson(ValueType type, const SetResult& result) {
    nlohmann::ordered_json json;  // in the order the documentation shows
    json["id"] = result.id;
    json["ok"] = result.error.empty();
    json["value"] = result.value ? NumberJson(type, *result.value) : nlohmann::json();
    if (!result.raw) {
        json["raw"] = nullptr;
    } else {
        json["raw"] = NumberJson(type, NumberOf(type, *result.raw));
    }
    json["error"] = result.error.empty() ? nlohmann::json() : nlohmann::json(result.error);
    // Invalid UTF-8 in an id is replaced, not thrown over.
    return json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

std::string WriteErrorText(const WriteOutcome& outcome, const PointConfig& point, int writeTimeoutMs) {
    const std::string station = "station " + StationName(point.item.station);
    switch (outcome.cause) {
        case WriteCause::kDone:
            return "";
        case WriteCause::kQueueFull:
            return "refused: the write queue is full";
        case WriteCause::kStopping:
            return "not sent: the gateway is stopping";
        case WriteCause::kPortClosed:
            return "not sent: the port is closed";
        case WriteCause::kExpired:
            return "expired in the queue (older than " + std::to_string(writeTimeoutMs) + " ms)";
        case WriteCause::kRefused: {
            char status[8];
            std::snprintf(status, sizeof status, "%02X", outcome.status);
            return "refused by the controller, status " + std::string(status);
        }
        case WriteCause::kNoAnswer:
            return "no answer from " + station;
        case WriteCause::kBadReply:
            return "no valid reply from " + station;
        case WriteCause::kNotSent:
            return "out of range for " + point.gas;
    }
    return "failed";
}

}  // namespace jwgate
