#include "tools/jwgate/mqtt/value_payload.h"

#include <nlohmann/json.hpp>

#include <chrono>

#include "tools/common/time_text.h"
#include "tools/jwgate/core/point_value_json.h"

namespace jwgate {
namespace {

std::string Dumped(const nlohmann::json& json) {
    // The configuration's text is UTF-8 already; a stray byte is replaced
    // rather than the value lost.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

StoredReading StoredReadingOf(const PointConfig& point, const PointReading& reading) {
    StoredReading stored;
    stored.point = point.name;
    stored.quality = reading.quality;
    if (reading.everGood) {
        stored.value = ShownValue(point.type, point.scaling, point.precision, reading.raw);
        stored.readMs =
            std::chrono::duration_cast<std::chrono::milliseconds>(reading.lastGood.time_since_epoch()).count();
    }
    return stored;
}

std::string ValuePayload(const PointConfig& point, const StoredReading& reading, bool replayed) {
    nlohmann::json json;
    json["value"] = ShownValueJson(point.type, point.scaling, point.precision, reading.value);
    json["quality"] = QualityName(reading.quality);
    json["timestamp"] = reading.value ? nlohmann::json(kel::tools::IsoTime(WallClock::time_point(
                                            std::chrono::milliseconds(reading.readMs))))
                                      : nlohmann::json(nullptr);
    if (!point.unit.empty()) json["unit"] = point.unit;
    if (replayed) json["replayed"] = true;
    return Dumped(json);
}

std::string ReplayedAnswerPayload(const std::string& payload) {
    nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
    if (!json.is_object()) return payload;
    json["replayed"] = true;
    return Dumped(json);
}

}  // namespace jwgate
