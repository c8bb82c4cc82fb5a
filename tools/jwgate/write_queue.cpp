#include "tools/jwgate/write_queue.h"

#include <utility>

namespace jwgate {

void WriteQueue::Submit(PendingWrite write) {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (!stopped_) {
            writes_.push_back(std::move(write));
            write.done = nullptr;
        }
    }
    // Nobody takes writes any more: failed at once, not left waiting.
    if (write.done) write.done(WriteOutcome::kFailed);
    changed_.notify_all();
}

std::deque<PendingWrite> WriteQueue::TakeAll() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(writes_, {});
}

void WriteQueue::WaitUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_until(lock, until, [&] { return stopped_ || !writes_.empty(); });
}

void WriteQueue::Stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool WriteQueue::stopped() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return stopped_;
}

}  // namespace jwgate
