// The handle of an open port, as the platform gives it.
#pragma once

#include <cstdint>

namespace kel {

using PortHandle = void*;

// The handle value that marks a failed open (the Win32 INVALID_HANDLE_VALUE).
inline PortHandle InvalidPortHandle() {
    return reinterpret_cast<PortHandle>(static_cast<std::intptr_t>(-1));
}

}  // namespace kel
