#include "tools/jwgate/core/point_value_json.h"

#include <cmath>

namespace jwgate {

double ShownValue(ValueType type, const Scaling& scaling, int precision, std::uint32_t raw) {
    return Rounded(ScaledValue(type, scaling, raw), DecimalsOf(type, scaling, precision));
}

nlohmann::json PointValueJson(ValueType type, const Scaling& scaling, int precision, const PointReading& reading) {
    if (!reading.everGood) return nullptr;
    return ShownValueJson(type, scaling, precision, ShownValue(type, scaling, precision, reading.raw));
}

nlohmann::json ShownValueJson(ValueType type, const Scaling& scaling, int precision, std::optional<double> shown) {
    if (!shown) return nullptr;
    const double number = *shown;
    const bool whole = type != ValueType::kFloat && DecimalsOf(type, scaling, precision) == 0;
    if (whole && std::fabs(number) < 9e15) return static_cast<std::int64_t>(number);
    return number;
}

}  // namespace jwgate
