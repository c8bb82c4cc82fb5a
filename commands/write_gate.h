// Writing one gate: commands 7 and 10.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

// Command 10: the value of the cell, by its value type.
std::int32_t WriteGate(KelRequest* request);

// Command 7: writes one item of a gate whose marker is 255; 0 otherwise.
std::int32_t WriteMarkedGate(KelRequest* request);

}  // namespace kel
