// What CreateFileA is given for a port name on Windows.
#pragma once

#include <cstddef>

namespace kel {

inline constexpr std::size_t kWin32DeviceNameSize = 24;

// Windows opens COM10 and above only through the device namespace, so every
// "COMn" (device names are case-insensitive: "com12" too; digits only after
// it) goes as "\\.\COMn" with the name as given; other names are passed
// unchanged. False for a null or empty name, or one that does not fit size.
bool Win32DeviceName(const char* name, char* device, std::size_t size);

}  // namespace kel
