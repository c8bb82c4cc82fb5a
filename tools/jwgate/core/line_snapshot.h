// What the line did, as the metrics endpoint and the status page show it:
// the outcome of every attempt, the durations of the scans and the last
// frames on the line.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

struct AttemptCounts {
    std::uint64_t answered = 0;
    std::uint64_t noReply = 0;
    std::uint64_t damaged = 0;
    std::map<std::uint8_t, std::uint64_t> refused;  // by the controller's status
    bool everAnswered = false;
    Clock::time_point lastAnswer {};
};

// Scan durations in the buckets a Prometheus histogram shows.
struct ScanHistogram {
    static constexpr std::array<double, 10> kBoundsSeconds {0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10};
    std::array<std::uint64_t, kBoundsSeconds.size()> inBucket {};  // at most the bound, above the one before
    std::uint64_t count = 0;
    double sumSeconds = 0;

    void Add(double seconds);
};

struct LoggedFrame {
    WallClock::time_point at;
    bool sent = false;  // to the controller; false: from it
    std::string text;   // as a trace shows it
};

struct LineSnapshot {
    AttemptCounts attempts;
    ScanHistogram scans;
    std::vector<LoggedFrame> frames;  // oldest first
};

}  // namespace jwgate
