#include "tools/jwgate/mqtt/publish_rule.h"

#include <cmath>

#include "tools/jwgate/core/point_value_json.h"

namespace jwgate {

bool Due(const PointConfig& point, const PointReading& reading, const Published& last, Clock::time_point now,
         Clock::duration period) {
    if (!last.ever || reading.quality != last.quality || now - last.at >= period) return true;
    if (point.publishMode == PublishMode::kEveryRead) return reading.reads != last.reads;
    if (reading.changes == last.changes) return false;
    if (!last.hasValue) return reading.everGood;
    const double value = ShownValue(point.type, point.scaling, point.precision, reading.raw);
    // A deadband of 0 still takes only a real change of raw (changes above).
    return std::fabs(value - last.value) >= point.deadband;
}

Published PublishedOf(const PointConfig& point, const PointReading& reading, Clock::time_point now) {
    return {true,
            reading.changes,
            reading.reads,
            reading.quality,
            now,
            reading.everGood,
            reading.everGood ? ShownValue(point.type, point.scaling, point.precision, reading.raw) : 0};
}

}  // namespace jwgate
