#include "tools/jwgate/core/point_value_json.h"

namespace jwgate {

nlohmann::json PointValueJson(ValueType type, const PointReading& reading) {
    if (!reading.everGood) return nullptr;
    const double number = NumberOf(type, reading.raw);
    if (type == ValueType::kFloat) return number;
    return static_cast<std::int64_t>(number);
}

}  // namespace jwgate
