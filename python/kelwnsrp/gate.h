// A gate as the Python module names it: the driver's gate address string,
// optionally followed by ":TYPE" (relay, 8, 16, 32 or float), checked by the
// driver's own gate check and turned into the item the link reads. The
// names, the checks of a type against the address and the write ranges are
// kelhost's too (tools/common/gate_model.h). The same names serve Line and
// the simulator's memory.
#pragma once

#include <cstdint>
#include <string>

#include "kelwnsrp.h"
#include "protocol/areas.h"
#include "tools/common/gate_model.h"

namespace kelpy {

using kel::tools::GateKind;

struct Gate {
    std::string gas;  // as given, without its ":TYPE"
    GateKind kind = GateKind::kRelay;
    GateAddress address {};  // as the driver's check gave it
    kel::Item item;
};

// The gate, or false with the driver's message (or why the type does not
// fit the address) in *error. Without a type: relays for R gates, 8 bits
// for a register written with a trailing B, 16 bits otherwise.
bool ParseGate(const std::string& text, Gate* gate, std::string* error);

// What the controller's value reads as: a float gate is the 32-bit
// register's signed whole number as a float (as the driver hands it over),
// every other gate its unsigned value.
struct GateValue {
    bool isFloat = false;
    std::int64_t whole = 0;
    double real = 0;
};
GateValue ValueOf(const Gate& gate, std::uint32_t raw);

// The raw value a write sends for number (negative register values as two's
// complement), or false with the reason in *error: the driver's message and
// the range the gate takes. A float gate takes whole numbers only.
bool RawForWrite(const Gate& gate, double number, std::uint32_t* raw, std::string* error);

}  // namespace kelpy
