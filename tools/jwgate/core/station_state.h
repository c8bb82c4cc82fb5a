// One station on the line as the scan last saw it, for those who show it.
#pragma once

#include <cstdint>
#include <string>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

struct StationState {
    int station = 0;                      // 0 to 63
    bool tried = false;                   // a read of it has ended
    bool answering = false;               // its last read got an answer
    WallClock::time_point lastAnswer {};  // the epoch before the first answer
    std::uint32_t silentTries = 0;        // reads in a row without an answer
};

// "01": a station as gate addresses write it, two octal digits.
std::string StationName(int station);

}  // namespace jwgate
