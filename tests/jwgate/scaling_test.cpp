// jwgate's scaling, table by table and in-process: the raw number a written
// engineering value becomes (halves away from zero, refused past the type's
// range, never clipped), the value a raw number shows, and its decimals.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>

#include "tools/jwgate/core/scaling.h"

namespace {

using jwgate::RawForValue;
using jwgate::Scaling;
using jwgate::ValueType;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfinity = std::numeric_limits<double>::infinity();

std::uint32_t FloatBits(float value) { return std::bit_cast<std::uint32_t>(value); }

TEST(Scaling, RawForValueRoundsHalvesAwayFromZeroAndRefusesWhatTheTypeCannotHold) {
    const struct {
        ValueType type;
        Scaling scaling;
        double value;
        std::optional<std::uint32_t> raw;
        const char* reason;  // when refused
    } cases[] = {
        // Halves away from zero, either sign.
        {ValueType::kU16, {}, 2.5, 3, ""},
        {ValueType::kU16, {}, 2.4999, 2, ""},
        {ValueType::kU16, {}, 3.5, 4, ""},
        {ValueType::kI16, {}, -2.5, 0xFFFD, ""},
        {ValueType::kI16, {}, -2.4999, 0xFFFE, ""},
        {ValueType::kU16, {}, -0.4, 0, ""},
        {ValueType::kU16, {}, -0.5, std::nullopt, "-0.5 is not a u16 (raw 0 to 65535)"},
        // A half the division leaves a hair short is still a half: 0.25 / 0.1
        // is 2.4999999999999996, 21.45 / 0.1 is 214.49999999999997.
        {ValueType::kU16, {0.1, 0}, 0.25, 3, ""},
        {ValueType::kU16, {0.1, 0}, 0.35, 4, ""},
        {ValueType::kU16, {0.1, 0}, 21.45, 215, ""},
        {ValueType::kI16, {0.1, 0}, -0.25, 0xFFFD, ""},
        {ValueType::kU16, {0.01, 0}, 1.005, 101, ""},
        // ... and so for a large raw number, where a hair is more than a
        // billionth: 100000000.05 / 0.1 is 1000000000.4999999.
        {ValueType::kU32, {0.1, 0}, 100000000.05, 1000000001, ""},
        {ValueType::kI32, {0.1, 0}, -100000000.05, static_cast<std::uint32_t>(-1000000001), ""},
        {ValueType::kU32, {0.001, 0}, 1234567.8905, 1234567891, ""},
        // Offsets and negative scales.
        {ValueType::kU16, {0.1, -40}, 21.5, 615, ""},
        {ValueType::kU16, {2, 1}, 11, 5, ""},
        {ValueType::kU16, {0.5, 0}, 1.25, 3, ""},
        {ValueType::kI16, {-1, 0}, 5, 0xFFFB, ""},
        {ValueType::kU16, {-1, 0}, 5, std::nullopt, "5 makes raw -5, not a u16 (raw 0 to 65535)"},
        {ValueType::kI16, {-0.5, 100}, 101, 0xFFFE, ""},
        // Each type's limits, and a half past them refused, never clipped.
        {ValueType::kU8, {}, 255, 0xFF, ""},
        {ValueType::kU8, {}, 255.5, std::nullopt, "255.5 is not a u8 (raw 0 to 255)"},
        {ValueType::kI8, {}, -128, 0x80, ""},
        {ValueType::kI8, {}, 127.5, std::nullopt, "127.5 is not a i8 (raw -128 to 127)"},
        {ValueType::kU16, {}, 65535.4, 65535, ""},
        {ValueType::kU16, {}, 65535.5, std::nullopt, "65535.5 is not a u16 (raw 0 to 65535)"},
        {ValueType::kI16, {}, -32768, 0x8000, ""},
        {ValueType::kI16, {}, -32768.5, std::nullopt, "-32768.5 is not a i16 (raw -32768 to 32767)"},
        {ValueType::kU32, {}, 4294967295, 0xFFFFFFFF, ""},
        {ValueType::kU32, {}, 4294967295.5, std::nullopt, "4294967295.5 is not a u32 (raw 0 to 4294967295)"},
        {ValueType::kI32, {}, -2147483648.0, 0x80000000, ""},
        {ValueType::kI32, {}, 2147483647.5, std::nullopt, "2147483647.5 is not a i32 (raw -2147483648 to 2147483647)"},
        {ValueType::kU16, {0.1, 0}, 6553.55, std::nullopt, "6553.55 makes raw 65536, not a u16 (raw 0 to 65535)"},
        // Relays take 0 or 1, nothing in between; floats any finite single.
        {ValueType::kRelay, {}, 1, 1, ""},
        {ValueType::kRelay, {}, 0.5, std::nullopt, "0.5 is not a relay (raw 0 to 1)"},
        {ValueType::kRelay, {}, 2, std::nullopt, "2 is not a relay (raw 0 to 1)"},
        {ValueType::kFloat, {}, 1.5, FloatBits(1.5f), ""},
        {ValueType::kFloat, {2, 0}, 3, FloatBits(1.5f), ""},
        {ValueType::kFloat, {}, -3.4e38, FloatBits(-3.4e38f), ""},
        {ValueType::kFloat, {}, 1e39, std::nullopt, "1e+39 is not a float"},
        // Nothing that is not a number, and no overflow into one.
        {ValueType::kU16, {}, kNaN, std::nullopt, "nan is not a u16 (raw 0 to 65535)"},
        {ValueType::kI32, {}, -kInfinity, std::nullopt, "-inf is not a i32 (raw -2147483648 to 2147483647)"},
        {ValueType::kU32, {1e-300, 0}, 1e300, std::nullopt, "1e+300 makes raw inf, not a u32 (raw 0 to 4294967295)"},
        {ValueType::kFloat, {1e-300, 0}, 1e300, std::nullopt, "1e+300 makes raw inf, not a float"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(jwgate::ValueTypeName(c.type)) + " scale " + std::to_string(c.scaling.scale) +
                     " offset " + std::to_string(c.scaling.offset) + " value " + std::to_string(c.value));
        std::string reason;
        EXPECT_EQ(RawForValue(c.type, c.scaling, c.value, &reason), c.raw);
        EXPECT_EQ(reason, c.reason);
    }
}

TEST(Scaling, AValueShownComesBackAsItsRawNumber) {
    const Scaling scalings[] = {{}, {0.1, 0}, {0.01, -40}, {-0.5, 100}, {0.001, 273.15}, {3, -7}};
    const struct {
        ValueType type;
        std::uint32_t raws[5];
    } cases[] = {
        {ValueType::kU8, {0, 1, 127, 200, 255}},
        {ValueType::kI8, {0, 1, 0x7F, 0x80, 0xFF}},
        {ValueType::kU16, {0, 1, 12345, 65534, 65535}},
        {ValueType::kI16, {0, 1, 0x7FFF, 0x8000, 0xFFFF}},
        {ValueType::kU32, {0, 1, 1000000001, 0xFFFFFFFE, 0xFFFFFFFF}},
        {ValueType::kI32, {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF}},
    };
    for (const Scaling& scaling : scalings) {
        for (const auto& c : cases) {
            for (const std::uint32_t raw : c.raws) {
                const double value = jwgate::ScaledValue(c.type, scaling, raw);
                std::string reason;
                EXPECT_EQ(RawForValue(c.type, scaling, value, &reason), raw)
                    << jwgate::ValueTypeName(c.type) << " raw " << raw << " scale " << scaling.scale << " offset "
                    << scaling.offset << " shown as " << value << ": " << reason;
            }
        }
    }
}

}  // namespace
