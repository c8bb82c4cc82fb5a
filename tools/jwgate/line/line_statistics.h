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
#include "tools/jwgate/core/line_snapshot.h"

namespace jwgate {

class LineStatistics final : public kel::LinkObserver {
public:
    static constexpr std::size_t kFramesKept = 40;

    LineStatistics() = default;
    LineStatistics(const LineStatistics&) = delete;
    LineStatistics& operator=(const LineStatistics&) = delete;

    void OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) override;
    void OnFrame(kel::FrameDirection direction, const char* bytes, int count) override;
    void AddScan(double seconds);

    // Keeps the frames the link tells of; set before the link runs.
    void TraceFrames() { tracing_ = true; }

    using Snapshot = LineSnapshot;
    Snapshot Take() const;

private:
    mutable std::mutex mutex_;
    AttemptCounts attempts_;
    ScanHistogram scans_;
    std::deque<LoggedFrame> frames_;
    bool tracing_ = false;
};

}  // namespace jwgate
