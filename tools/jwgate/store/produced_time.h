// The wall-clock times the store keeps, in ms since 1970.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

inline std::int64_t ProducedMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now().time_since_epoch()).count();
}

// Since producedMs; never negative when the wall clock steps back.
inline double AgeSeconds(std::int64_t producedMs) {
    return std::max<std::int64_t>(ProducedMs() - producedMs, 0) / 1000.0;
}

}  // namespace jwgate
