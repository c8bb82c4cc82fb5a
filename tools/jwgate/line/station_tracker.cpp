#include "tools/jwgate/line/station_tracker.h"

#include <algorithm>
#include <cstdio>

namespace jwgate {

StationTracker::StationTracker(const std::vector<PointConfig>& points) {
    for (const PointConfig& point : points) {
        const std::chrono::milliseconds interval(point.intervalMs);
        const auto [at, fresh] = entries_.try_emplace(point.item.station);
        Entry& entry = at->second;
        entry.state.station = point.item.station;
        entry.firstRetry = fresh ? interval : std::min(entry.firstRetry, interval);
    }
}

bool StationTracker::MayTry(int station, Clock::time_point now, Clock::time_point* retryAt) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(station);
    if (found == entries_.end() || found->second.state.silentTries == 0 || now >= found->second.retryAt) return true;
    *retryAt = found->second.retryAt;
    return false;
}

bool StationTracker::Record(int station, bool answered, Clock::time_point now) {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(station);
    if (found == entries_.end()) return false;
    Entry& entry = found->second;
    const bool changed = !entry.state.tried || entry.state.answering != answered;
    entry.state.tried = true;
    entry.state.answering = answered;
    if (answered) {
        entry.state.lastAnswer = WallClock::now();
        entry.state.silentTries = 0;
        entry.retry = std::chrono::milliseconds(0);
        return changed;
    }
    ++entry.state.silentTries;
    entry.retry = std::min(entry.state.silentTries == 1 ? entry.firstRetry : 2 * entry.retry, kLongestRetry);
    entry.retryAt = now + entry.retry;
    return changed;
}

bool StationTracker::Silent(int station) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = entries_.find(station);
    return found != entries_.end() && found->second.state.silentTries > 0;
}

std::vector<StationState> StationTracker::Snapshot() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<StationState> states;
    for (const auto& [station, entry] : entries_) states.push_back(entry.state);
    return states;
}

}  // namespace jwgate
