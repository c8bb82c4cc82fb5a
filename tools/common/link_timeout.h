// A reply timeout in milliseconds as the driver's LinkTimeout, whose unit is
// 10 ms: rounded up, so that no tool waits less than it was told. The one
// conversion kelhost, jwgate and the Python module make.
#pragma once

#include <cstdint>

namespace kel::tools {

inline constexpr std::uint32_t kLinkTimeoutUnitMs = 10;

constexpr std::uint32_t LinkTimeoutUnits(std::uint32_t milliseconds) {
    return milliseconds / kLinkTimeoutUnitMs + (milliseconds % kLinkTimeoutUnitMs != 0 ? 1 : 0);
}

}  // namespace kel::tools
