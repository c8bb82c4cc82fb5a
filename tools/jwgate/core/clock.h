// The gateway's two clocks: the monotonic one for ages, intervals and
// deadlines, the wall clock for the times people and peers are shown.
#pragma once

#include <chrono>

namespace jwgate {

using Clock = std::chrono::steady_clock;
using WallClock = std::chrono::system_clock;

}  // namespace jwgate
