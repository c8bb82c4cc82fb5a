// The serial line every tool starts from unless told otherwise: the driver's
// own default, so that a controller answering one tool answers the others.
#pragma once

#include <cstdint>

namespace kel::tools {

inline constexpr std::uint32_t kDefaultBaud = 9600;
inline constexpr int kDefaultDataBits = 7;
inline constexpr const char* kDefaultParity = "none";
inline constexpr int kDefaultStopBits = 1;

}  // namespace kel::tools
