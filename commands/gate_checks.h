// Commands 3 and 4: a gate address string (GAS) is checked once against the
// gate and turned into the GateAddress that every read and write works from.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

std::int32_t CheckGateAddressCommand(KelRequest* request);   // 3
std::int32_t CheckBlockAddressCommand(KelRequest* request);  // 4

}  // namespace kel
