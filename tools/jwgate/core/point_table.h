// The points' latest values as the scan left them, shared by the scan, the
// Modbus server and the MQTT publisher. Thread-safe.
#pragma once

#include <chrono>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "tools/jwgate/core/change_signal.h"
#include "tools/jwgate/core/clock.h"

namespace jwgate {

enum class Quality { kGood, kBad, kStale };
const char* QualityName(Quality quality);

struct PointReading {
    std::uint32_t raw = 0;       // the last good value, as the controller holds it
    bool everGood = false;       // raw holds a value
    Quality quality = Quality::kBad;
    WallClock::time_point lastGood {};  // of the last good read
    std::uint64_t changes = 0;   // counts every good read that changed raw (or was the first)
    std::uint64_t reads = 0;     // counts every read, good or failed
};

// A point's reading as it was just after a read that notified.
struct PointChange {
    std::size_t point = 0;
    PointReading reading;
};

class PointTable {
public:
    // The most changes KeepChanges holds; past it the oldest go (the latest
    // value of each point is still in the table).
    static constexpr std::size_t kMaxKeptChanges = 100000;

    // intervals: each point's scan interval; a good value older than two of
    // them is stale.
    explicit PointTable(std::vector<std::chrono::milliseconds> intervals);

    std::size_t size() const { return intervals_.size(); }
    // From now on a new value, or a point turning good or bad, notifies
    // signal (which must outlive the table). Set before the scan starts.
    // everyRead: the points whose every read, changed or not, notifies too
    // (empty for none).
    void SignalChanges(ChangeSignal* signal, std::vector<bool> everyRead = {}) {
        signal_ = signal;
        signalEveryRead_ = std::move(everyRead);
    }

    // From now on every read that notifies is also kept, in order, until
    // TakeChanges: two reads between two looks are both seen. Before the
    // scan starts.
    void KeepChanges() { keepChanges_ = true; }
    std::vector<PointChange> TakeChanges();

    void SetGood(std::size_t point, std::uint32_t raw);
    // The line failed for this point: bad, its last good value kept.
    void SetBad(std::size_t point);

    // The point as seen now: a good value turns stale with age.
    PointReading Read(std::size_t point) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::chrono::milliseconds> intervals_;
    std::vector<PointReading> readings_;
    std::vector<Clock::time_point> goodAt_;  // monotonic, for staleness
    ChangeSignal* signal_ = nullptr;
    std::vector<bool> signalEveryRead_;
    bool keepChanges_ = false;
    std::vector<PointChange> changes_;
    // Tells the signal, and keeps the reading when asked to.
    void Notify(std::size_t point);
    bool SignalsEveryRead(std::size_t point) const {
        return point < signalEveryRead_.size() && signalEveryRead_[point];
    }
};

}  // namespace jwgate
