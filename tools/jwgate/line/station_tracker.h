// Each station on the line as the scan sees it: whether it answers, when it
// last did, and when a silent one is tried again. A station that stops
// answering is retried with back-off, at its points' own pace first, then
// twice as far apart each time it stays silent, up to every 10 s, and with
// one attempt instead of five, so that one dead controller does not hold the
// line for the others. The scan
// thread records; status pages, metrics and publishers read snapshots.
// Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/station_state.h"

namespace jwgate {

class StationTracker {
public:
    static constexpr std::chrono::milliseconds kLongestRetry {10000};

    // The stations the points name; a silent one is first retried after the
    // shortest interval among its points.
    explicit StationTracker(const std::vector<PointConfig>& points);

    // Whether station may be read at now; when not, *retryAt says when.
    bool MayTry(int station, Clock::time_point now, Clock::time_point* retryAt) const;
    // A read of station that ended at now got an answer, or none. True
    // when that changed whether it answers (the first read always does).
    // A silent station's next try counts from now, so that a try longer
    // than the retry delay does not let the station's other reads in.
    bool Record(int station, bool answered, Clock::time_point now);

    // Whether station's last read got no answer.
    bool Silent(int station) const;

    // Every station, in station order.
    std::vector<StationState> Snapshot() const;

private:
    struct Entry {
        StationState state;
        std::chrono::milliseconds firstRetry {0};
        std::chrono::milliseconds retry {0};
        Clock::time_point retryAt {};
    };

    mutable std::mutex mutex_;
    std::map<int, Entry> entries_;
};

}  // namespace jwgate
