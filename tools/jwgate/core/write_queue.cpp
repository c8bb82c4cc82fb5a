#include "tools/jwgate/core/write_queue.h"

#include <algorithm>
#include <utility>

namespace jwgate {
namespace {

// Both requesters of a replaced write hear the outcome of the one that goes out.
std::function<void(WriteOutcome)> Joined(std::function<void(WriteOutcome)> first,
                                         std::function<void(WriteOutcome)> second) {
    if (!first) return second;
    if (!second) return first;
    return [first = std::move(first), second = std::move(second)](WriteOutcome outcome) {
        first(outcome);
        second(outcome);
    };
}

}  // namespace

WriteQueue::WriteQueue(WriteQueueLimits limits) : limits_(limits) {}

bool WriteQueue::Submit(PendingWrite write) {
    bool taken = false;
    WriteCause refusal = WriteCause::kQueueFull;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const Clock::time_point expires = Clock::now() + limits_.maxAge;
        const auto same = std::find_if(entries_.begin(), entries_.end(),
                                       [&](const Entry& entry) { return entry.write.point == write.point; });
        if (stopped_) {
            refusal = WriteCause::kStopping;
            ++counts_.refused;
        } else if (same != entries_.end()) {
            same->write.raw = write.raw;
            same->write.done = Joined(std::move(same->write.done), std::move(write.done));
            same->expires = expires;
            ++counts_.superseded;
            taken = true;
        } else if (entries_.size() >= limits_.capacity) {
            ++counts_.refused;
        } else {
            entries_.push_back({std::move(write), expires});
            taken = true;
        }
    }
    if (!taken) {
        if (write.done) write.done({refusal});
        return false;
    }
    changed_.notify_all();
    return true;
}

WriteQueue::Taken WriteQueue::TakeNext() {
    Taken taken;
    const std::lock_guard<std::mutex> lock(mutex_);
    const Clock::time_point now = Clock::now();
    while (!entries_.empty()) {
        Entry entry = std::move(entries_.front());
        entries_.pop_front();
        if (now < entry.expires) {
            taken.next = std::move(entry.write);
            break;
        }
        ++counts_.expired;
        taken.expired.push_back(std::move(entry.write));
    }
    return taken;
}

std::vector<PendingWrite> WriteQueue::TakeAll() {
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PendingWrite> all;
    for (Entry& entry : entries_) all.push_back(std::move(entry.write));
    entries_.clear();
    return all;
}

void WriteQueue::WaitUntil(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, until, [&] { return stopped_ || !entries_.empty(); });
}

void WriteQueue::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

WriteQueueCounts WriteQueue::Counts() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return counts_;
}

}  // namespace jwgate
