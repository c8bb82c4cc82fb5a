#include "tools/jwgate/core/point_table.h"

namespace jwgate {

const char* QualityName(Quality quality) {
    switch (quality) {
        case Quality::kGood: return "good";
        case Quality::kStale: return "stale";
        case Quality::kBad: break;
    }
    return "bad";
}

PointTable::PointTable(std::vector<std::chrono::milliseconds> intervals)
    : intervals_(std::move(intervals)), readings_(intervals_.size()), goodAt_(intervals_.size()) {}

void PointTable::SetGood(std::size_t point, std::uint32_t raw) {
    const std::lock_guard<std::mutex> lock(mutex_);
    PointReading& reading = readings_.at(point);
    const bool changed = !reading.everGood || reading.raw != raw;
    if (changed) ++reading.changes;
    ++reading.reads;
    const bool notify = changed || reading.quality != Quality::kGood || SignalsEveryRead(point);
    reading.raw = raw;
    reading.everGood = true;
    reading.quality = Quality::kGood;
    reading.lastGood = WallClock::now();
    goodAt_[point] = Clock::now();
    if (notify) Notify(point);
}

void PointTable::SetBad(std::size_t point) {
    const std::lock_guard<std::mutex> lock(mutex_);
    PointReading& reading = readings_.at(point);
    const bool notify = reading.quality != Quality::kBad || SignalsEveryRead(point);
    reading.quality = Quality::kBad;
    ++reading.reads;
    if (notify) Notify(point);
}

void PointTable::Notify(std::size_t point) {
    if (signal_ == nullptr) return;
    signal_->Notify();
    if (!keepChanges_) return;
    if (changes_.size() >= kMaxKeptChanges) changes_.erase(changes_.begin(), changes_.begin() + kMaxKeptChanges / 10);
    changes_.push_back({point, readings_[point]});
}

std::vector<PointChange> PointTable::TakeChanges() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(changes_, {});
}

PointReading PointTable::Read(std::size_t point) const {
    const std::lock_guard<std::mutex> lock(mutex_);
    PointReading reading = readings_.at(point);
    if (reading.quality == Quality::kGood && Clock::now() - goodAt_[point] > 2 * intervals_[point]) {
        reading.quality = Quality::kStale;
    }
    return reading;
}

}  // namespace jwgate
