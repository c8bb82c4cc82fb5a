// What the link works on, made from a host's driver instance and a checked
// gate address, and what it changed, kept in the instance.
#pragma once

#include "kelwnsrp.h"
#include "link/line.h"
#include "protocol/areas.h"

namespace kel {

Line LineOf(const DriverState& state);
// Keeps the write-mode flag; a flag the call did not change stays as the
// host holds it.
void KeepLine(const Line& line, DriverState* state);

Item ItemOf(const GateAddress& gate, int bytes);

}  // namespace kel
