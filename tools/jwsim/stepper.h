// Gates changed on a schedule while the simulator serves: each a counter
// stepped every period (1, 2, 3 and on), so a bench can tell for
// every value a host sees when the controller took it. Each step can be
// recorded as a line "<wall-clock µs since the epoch> <gate> <new value>".
#pragma once

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "tools/jwsim/simulator.h"

namespace kel::jwsim {

struct StepSchedule {
    std::string gate;  // as in a memory file: 01MA0100, 01R00001, 01T0005
    std::chrono::milliseconds period {1000};
};

// "GATE:PERIOD_MS" (period 1 to 86400000); an empty reason when taken.
std::string ParseStep(const std::string& text, StepSchedule* step);

class Stepper {
public:
    using Clock = std::chrono::steady_clock;

    // record: where each step is written and flushed; null for none. The
    // first steps come delay + their period after now.
    Stepper(Simulator& simulator, std::vector<StepSchedule> steps, std::FILE* record,
            std::chrono::milliseconds delay = std::chrono::milliseconds(0));

    // When the next step is due; Clock::time_point::max() with none.
    Clock::time_point NextDue() const;
    // Takes every step due by now. A counter goes up by one and starts again
    // from 0 past what its gate holds (1 for a relay, 1999 for a timer,
    // 255 for one byte, 65535 for two).
    void StepDue(Clock::time_point now);

private:
    struct Counter {
        StepSchedule schedule;
        long long value = 0;
        Clock::time_point due;
    };

    Simulator& simulator_;
    std::vector<Counter> counters_;
    std::FILE* record_;
};

}  // namespace kel::jwsim
