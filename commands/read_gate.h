// Reading one gate: commands 5 and 6.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

// The value cell is written only with a value a read delivered.
std::int32_t ReadGate(KelRequest* request);

}  // namespace kel
