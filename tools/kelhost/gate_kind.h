// How kelhost reads and writes a gate: the value type it hands the driver,
// and what a write may carry.
#pragma once

#include <cstdint>
#include <string>

#include "kelwnsrp.h"

namespace kelhost {

enum class GateKind { Auto, Relay, Bits8, Bits16, Bits32, Float };

// "auto", "relay", "8", "16", "32" or "float".
bool ParseGateKind(const std::string& text, GateKind* kind);
const char* GateKindName(GateKind kind);

// Auto made definite by the gate address: relays for R, 8 bits for a
// register written with a trailing B, 16 bits otherwise.
GateKind ResolveKind(GateKind kind, const std::string& gas);

// The gate type the driver checks the gate with, and the value type of its
// reads and writes (floats are checked as 32-bit gates).
uint32_t CheckType(GateKind kind);
uint32_t ValueType(GateKind kind);

// Where the driver's check disagrees with the kind asked for, an
// explanation; empty when they agree.
std::string KindMismatch(GateKind kind, const std::string& gas, const GateAddress& address);

struct ValueRange {
    int64_t min;
    int64_t max;
    std::string what;  // "a 16-bit register takes -32768 to 65535 ..."
};

// What a write to the checked gate may carry.
ValueRange WritableRange(GateKind kind, const GateAddress& address);

// The value text as the number the driver is given (a negative register
// value folded to its two's complement), or false with the reason.
bool ParseWriteValue(const std::string& text, GateKind kind, const GateAddress& address, int64_t* value,
                     std::string* why);

}  // namespace kelhost
