// How kelhost names a gate's kind: a kind of the gate model it shares with
// the Python module (tools/common/gate_model.h), or "auto", the kind the
// gate address gives; and a write's value text as the number the driver is
// given.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "kelwnsrp.h"
#include "tools/common/gate_model.h"

namespace kelhost {

using kel::tools::GateKind;

// "auto" (no kind: the gate address decides) or a kind's name.
bool ParseKindOption(const std::string& text, std::optional<GateKind>* kind);

// The kind asked for, or without one the kind the gate address gives.
GateKind ResolveKind(std::optional<GateKind> kind, const std::string& gas);

// The value text, decimal or 0x hexadecimal (a float gate's also with a
// fraction or exponent, as long as it is whole), as the number the driver is
// given (a negative register value folded to its two's complement), or false
// with the range the gate takes.
bool ParseWriteValue(const std::string& text, GateKind kind, const GateAddress& address, int64_t* value,
                     std::string* why);

}  // namespace kelhost
