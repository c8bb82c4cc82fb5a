#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

inline constexpr char kDriverName[] = "Sharp PLC";

// The banner the host shows: a line feed and six boxed lines in code page 437.
const char* DriverBanner();

// Command 14: fills the DriverInfo block with constants.
std::int32_t DriverInfoCommand(KelRequest* request);

}  // namespace kel
