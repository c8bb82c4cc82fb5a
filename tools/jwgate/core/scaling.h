// A point's engineering value: the controller's raw number times scale plus
// offset, and back for writes. MQTT, the status page and /metrics show the
// engineering value; Modbus keeps the raw words.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "tools/jwgate/core/value_type.h"

namespace jwgate {

struct Scaling {
    double scale = 1;   // never 0; may be negative
    double offset = 0;
    bool Identity() const { return scale == 1 && offset == 0; }
};

// raw × scale + offset.
double ScaledValue(ValueType type, const Scaling& scaling, std::uint32_t raw);

// The raw bytes that hold value: (value − offset) ÷ scale, rounded to the
// nearest whole number for an integer type (halves away from zero). Nothing,
// with the reason, when that raw number is not one the type holds: such a
// value is refused, never clipped.
std::optional<std::uint32_t> RawForValue(ValueType type, const Scaling& scaling, double value, std::string* reason);

// The lowest and highest engineering values the type can hold.
struct ScaledRange {
    double low;
    double high;
};
ScaledRange ScaledRangeOf(ValueType type, const Scaling& scaling);

// The decimals a value shows: precision when set (0 to 9), else as many as
// scale and offset carry, so that 0.1 × 215 reads 21.5 and not
// 21.500000000000004; a float without precision keeps all it has (-1).
int DecimalsOf(ValueType type, const Scaling& scaling, int precision);

// value rounded to decimals (none for -1).
double Rounded(double value, int decimals);

}  // namespace jwgate
