#include "tools/jwgate/core/scaling.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace jwgate {
namespace {

constexpr int kMaxDecimals = 9;

// The fewest decimals that write x exactly enough (to a billionth).
int DecimalsIn(double x) {
    for (int decimals = 0; decimals < kMaxDecimals; ++decimals) {
        const double shifted = x * std::pow(10.0, decimals);
        if (std::fabs(shifted - std::round(shifted)) < 1e-9 * std::max(1.0, std::fabs(shifted))) return decimals;
    }
    return kMaxDecimals;
}

// Halves away from zero, also for a half that the division left a hair
// short (0.25 ÷ 0.1 is 2.4999999999999996). A hair is a billionth, or a few
// units in the last place of a large number: 100000000.05 ÷ 0.1 is
// 1000000000.4999999, a ten-millionth short.
double NearestWhole(double x) {
    const double whole = std::trunc(x);
    const double hair = std::max(1e-9, 1e-15 * std::fabs(x));
    if (std::fabs(std::fabs(x - whole) - 0.5) < hair) return whole + std::copysign(1.0, x);
    return std::round(x);
}

// As many digits as a double keeps for a decimal number (15): a refused
// 4294967295.5 shows as itself, not as 4294967296.
std::string Shown(double number) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", number);
    return text;
}

}  // namespace

double ScaledValue(ValueType type, const Scaling& scaling, std::uint32_t raw) {
    return NumberOf(type, raw) * scaling.scale + scaling.offset;
}

std::optional<std::uint32_t> RawForValue(ValueType type, const Scaling& scaling, double value, std::string* reason) {
    double raw = (value - scaling.offset) / scaling.scale;
    // Relays take 0 or 1 (or true/false) and nothing in between.
    if (type != ValueType::kFloat && type != ValueType::kRelay) raw = NearestWhole(raw);
    if (const auto bytes = RawOf(type, raw)) return bytes;
    const ValueBounds range = BoundsOf(type);
    if (scaling.Identity()) {
        *reason = Shown(value) + " is not a " + ValueTypeName(type);
    } else {
        *reason = Shown(value) + " makes raw " + Shown(raw) + ", not a " + ValueTypeName(type);
    }
    if (type != ValueType::kFloat) *reason += " (raw " + Shown(range.low) + " to " + Shown(range.high) + ")";
    return std::nullopt;
}

ScaledRange ScaledRangeOf(ValueType type, const Scaling& scaling) {
    const ValueBounds raw = BoundsOf(type);
    const double a = raw.low * scaling.scale + scaling.offset;
    const double b = raw.high * scaling.scale + scaling.offset;
    return {std::min(a, b), std::max(a, b)};
}

int DecimalsOf(ValueType type, const Scaling& scaling, int precision) {
    if (precision >= 0) return precision;
    if (type == ValueType::kFloat) return -1;
    return std::max(DecimalsIn(scaling.scale), DecimalsIn(scaling.offset));
}

double Rounded(double value, int decimals) {
    if (decimals < 0 || !std::isfinite(value)) return value;
    const double factor = std::pow(10.0, decimals);
    const double rounded = std::round(value * factor) / factor;
    return std::isfinite(rounded) ? rounded : value;
}

}  // namespace jwgate
