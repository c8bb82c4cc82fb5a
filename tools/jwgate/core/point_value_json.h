// A point's value as JSON, the same in MQTT payloads and the status JSON.
#pragma once

#include <nlohmann/json.hpp>

#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/value_type.h"

namespace jwgate {

// null before the first good read; a number of the type (integers as
// integers) after it.
nlohmann::json PointValueJson(ValueType type, const PointReading& reading);

}  // namespace jwgate
