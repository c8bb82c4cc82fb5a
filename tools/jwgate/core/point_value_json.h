// A point's value as JSON, the same in MQTT payloads and the status JSON:
// its engineering value (scaled) with its decimals.
#pragma once

#include <nlohmann/json.hpp>

#include <optional>

#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/scaling.h"
#include "tools/jwgate/core/value_type.h"

namespace jwgate {

// The value shown for raw: scaled, rounded to precision (-1: the decimals
// scale and offset carry).
double ShownValue(ValueType type, const Scaling& scaling, int precision, std::uint32_t raw);

// null before the first good read; else ShownValue, a whole number written
// as an integer unless the type is float.
nlohmann::json PointValueJson(ValueType type, const Scaling& scaling, int precision, const PointReading& reading);
// The same for a value shown already (a kept one): null for none.
nlohmann::json ShownValueJson(ValueType type, const Scaling& scaling, int precision, std::optional<double> shown);

}  // namespace jwgate
