// Writes waiting for the line, from Modbus clients and MQTT, in the order
// they came. The scan thread takes them between exchanges, ahead of reads,
// and sleeps on the queue so that a write wakes it. Thread-safe.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace jwgate {

enum class WriteOutcome { kDone, kFailed };

struct PendingWrite {
    std::size_t point = 0;
    std::uint32_t raw = 0;
    // Called on the scan thread once the controller acknowledged the write
    // or it failed; may be empty. It must not block.
    std::function<void(WriteOutcome)> done;
};

class WriteQueue {
public:
    // After Stop() the write fails at once.
    void Submit(PendingWrite write);
    // Every write waiting, oldest first.
    std::deque<PendingWrite> TakeAll();
    // Sleeps until a write waits, Stop() is called or until passes.
    void WaitUntil(std::chrono::steady_clock::time_point until);
    void Stop();
    bool stopped() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<PendingWrite> writes_;
    bool stopped_ = false;
};

}  // namespace jwgate
