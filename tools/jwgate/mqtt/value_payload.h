// A point's value as the JSON side words it, from what is kept of it:
// {"value": ..., "quality": "good|bad|stale", "timestamp": "ISO 8601 UTC",
// "unit": ...}, with "replayed": true when it comes from the backlog.
#pragma once

#include <string>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

// What is kept of a reading: its value as shown (scaled, rounded), its
// quality and the time of the read that gave the value.
StoredReading StoredReadingOf(const PointConfig& point, const PointReading& reading);

std::string ValuePayload(const PointConfig& point, const StoredReading& reading, bool replayed);

// A kept answer's payload marked "replayed": true; as it was if it is not a
// JSON object.
std::string ReplayedAnswerPayload(const std::string& payload);

}  // namespace jwgate
