// Arbitrary baud rates through the kernel's termios2 interface. Kept apart
// because the kernel's termios headers clash with the C library's.
#pragma once

#include <cstdint>

namespace kel::posix {

// Sets input and output speed to baud bits per second; false when refused.
bool SetBaudRate(int fd, std::uint32_t baud);
// Whether the device runs input and output close enough to baud bits per
// second for the far end (within 2 %).
bool RunsAtBaudRate(int fd, std::uint32_t baud);
// The output speed the device runs at, or 0 when it cannot be read.
std::uint32_t GetBaudRate(int fd);

}  // namespace kel::posix
