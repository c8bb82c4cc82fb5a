// Writes waiting for the line, from Modbus clients and MQTT, in the order
// they came. The scan thread takes them between exchanges, ahead of reads,
// and sleeps on the queue so that a write wakes it. Thread-safe.
//
// A write is a setpoint someone sent now: one that waited longer than its
// age limit is dropped, never carried out later, and the queue holds a
// bounded number of them. A second write to a point still waiting replaces
// the first's value: only the newest needs to reach the controller, and
// both requesters learn that one's outcome.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

// Why a write ended as it did.
enum class WriteCause {
    kDone,        // the controller acknowledged it
    kQueueFull,   // refused at the door
    kStopping,    // the gateway is stopping
    kPortClosed,  // the line's device is gone
    kExpired,     // waited in the queue past its age limit, never sent
    kRefused,     // the controller answered with an error status
    kNoAnswer,    // the station sent no reply
    kBadReply,    // replies came, none that acknowledged the write
    kNotSent,     // the driver found the value unfit for the item; nothing sent
};

struct WriteOutcome {
    WriteCause cause = WriteCause::kDone;
    std::uint8_t status = 0;  // the controller's, for kRefused

    bool ok() const { return cause == WriteCause::kDone; }
    bool operator==(const WriteOutcome&) const = default;
};

struct PendingWrite {
    std::size_t point = 0;
    std::uint32_t raw = 0;
    // Called once the controller acknowledged the write or it failed (on
    // the scan thread), or at once when the queue refuses it (on the
    // submitter's); may be empty. It must not block.
    std::function<void(WriteOutcome)> done;
};

struct WriteQueueLimits {
    std::chrono::milliseconds maxAge {5000};
    std::size_t capacity = 256;
};

struct WriteQueueCounts {
    std::uint64_t expired = 0;     // dropped unsent: waited past the age limit
    std::uint64_t refused = 0;     // the queue was full, or stopped
    std::uint64_t superseded = 0;  // replaced by a newer write to the same point
};

class WriteQueue {
public:
    explicit WriteQueue(WriteQueueLimits limits = {});

    // False, with done(kQueueFull or kStopping) called before it returns,
    // when the queue is full or stopped.
    bool Submit(PendingWrite write);

    struct Taken {
        std::optional<PendingWrite> next;   // the oldest write still young enough
        std::vector<PendingWrite> expired;  // dropped on the way: the caller fails them
    };
    Taken TakeNext();
    // Every write waiting, oldest first, whatever its age.
    std::vector<PendingWrite> TakeAll();

    // Sleeps until a write waits, Stop() is called or until passes.
    void WaitUntil(Clock::time_point until);
    void Stop();
    WriteQueueCounts Counts() const;

private:
    struct Entry {
        PendingWrite write;
        Clock::time_point expires;
    };

    const WriteQueueLimits limits_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Entry> entries_;
    bool stopped_ = false;
    WriteQueueCounts counts_;
};

}  // namespace jwgate
