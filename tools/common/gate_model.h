// A gate as kelhost and the Python module name it: the driver's gate address
// string, optionally with ":TYPE" (relay, 8, 16, 32 or float); the gate type
// the driver checks it with and the value type of its reads; where the
// driver's check and the type disagree; what a write may carry and the raw
// value it sends (negative register values as two's complement). Pure
// functions over the driver's GateAddress: nothing here calls the driver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "commands/gate_checks.h"
#include "kelwnsrp.h"

namespace kel::tools {

enum class GateKind { kRelay, kBits8, kBits16, kBits32, kFloat };

// The names after ':', as a message lists them.
inline constexpr const char* kGateKindNames = "relay, 8, 16, 32 or float";

// "relay", "8", "16", "32" or "float".
bool ParseGateKind(std::string_view name, GateKind* kind);
const char* GateKindName(GateKind kind);
// "<text>: the type after ':' is relay, 8, 16, 32 or float".
std::string UnknownGateKind(const std::string& text);

// The kind of a gate named without a type: relays for R gates, 8 bits for a
// register written with a trailing B, 16 bits otherwise.
GateKind KindOfAddress(const std::string& gas);

// The gate type the driver checks the gate with (floats as 32-bit gates),
// and the value type of its reads.
std::uint32_t CheckType(GateKind kind);
std::uint32_t ValueType(GateKind kind);

// Where the driver's check of gas (which gave address) disagrees with the
// kind, why; empty when they agree.
std::string KindMismatch(GateKind kind, const std::string& gas, const GateAddress& address);

// The driver's own message for a refused gas; it has none for a character
// out of place, for which this says so.
std::string RefusalText(const std::string& gas, const GateRefusal& why);

// What a write to a checked gate may carry: whole numbers from min to max,
// the negative ones sent as two's complement in bits; what says so.
struct WriteRange {
    std::int64_t min = 0;
    std::int64_t max = 1;
    int bits = 1;
    std::string what;  // "a 16-bit register takes 0 to 65535, or -32768 to -1 as two's complement"
};
WriteRange WriteRangeOf(GateKind kind, const GateAddress& address);

// value in bits as two's complement: itself when not negative.
std::uint32_t TwosComplement(std::int64_t value, int bits);

// The raw value a write sends for number, or false when number is not a
// finite whole number within range.
bool RawForWrite(double number, const WriteRange& range, std::uint32_t* raw);

}  // namespace kel::tools
