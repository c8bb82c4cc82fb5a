// kelhost --trace: the driver's frames on standard error, one a line, with
// the time of day to the millisecond and control characters escaped:
//   13:45:01.123 < ::01?0MRGA0100A010145\r
// "<" went to the controller, ">" came from it.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kelhost {

void KEL_CALL PrintFrame(void* context, int32_t direction, const char* bytes, int32_t count);

}  // namespace kelhost
