// What the line did, kept for the metrics endpoint and the status page: the
// outcome of every attempt (the link tells it), the durations of the scans,
// and the last frames on the line. The scan thread writes; readers take
// copies, so a scrape never holds up an exchange for longer than a copy.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "link/link_context.h"
#include "tools/jwgate/point_table.h"

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

class LineStatistics final : public kel::LinkObserver {
public:
    static constexpr std::size_t kFramesKept = 40;

    LineStatistics() = default;
    ~LineStatistics() override;  // StopTracing()
    LineStatistics(const LineStatistics&) = delete;
    LineStatistics& operator=(const LineStatistics&) = delete;

    void OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) override;
    void AddScan(double seconds);

    // Keeps the frames the link puts on and takes off the line (the one
    // line of this process) until StopTracing.
    void TraceFrames();
    void StopTracing();

    struct Snapshot {
        AttemptCounts attempts;
        ScanHistogram scans;
        std::vector<LoggedFrame> frames;  // oldest first
    };
    Snapshot Take() const;

private:
    static void Trace(void* self, std::int32_t direction, const char* bytes, std::int32_t count);

    mutable std::mutex mutex_;
    AttemptCounts attempts_;
    ScanHistogram scans_;
    std::deque<LoggedFrame> frames_;
    bool tracing_ = false;
};

}  // namespace jwgate
