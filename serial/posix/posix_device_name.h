// Where a port name points on Linux.
#pragma once

#include <cstddef>

namespace kel {

inline constexpr std::size_t kDevicePathSize = 64;

// "NUL" is the null device, a name starting with "/" is a device path, "COMn"
// is /dev/ttyS(n-1), any other name is looked up under /dev/ ("ttyUSB0",
// "pts/3"). False when the name is empty, leaves /dev/ through "..", or the
// path does not fit size bytes.
bool DevicePathForPortName(const char* name, char* path, std::size_t size);

}  // namespace kel
