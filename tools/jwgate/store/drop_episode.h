// An episode of dropping unsent messages, logged once at its start (why) and
// once at its end (how many were lost): the log stays readable through a
// long outage on a full disk. It ends after a quiet second without a drop.
// Not thread-safe: its owner locks.
#pragma once

#include <cstdint>
#include <string>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

class DropEpisode {
public:
    explicit DropEpisode(std::string where) : where_(std::move(where)) {}

    void Dropped(std::uint64_t count, const std::string& why, Clock::time_point now);
    // Counted, not logged: the caller said why in a line of its own.
    void Lost(std::uint64_t count) { total_ += count; }
    // Ends the episode when nothing was dropped for a while.
    void Settle(Clock::time_point now);
    std::uint64_t total() const { return total_; }

private:
    std::string where_;
    bool active_ = false;
    std::string why_;
    std::uint64_t lost_ = 0;   // in this episode
    std::uint64_t total_ = 0;  // since the start
    Clock::time_point lastDrop_ {};
};

}  // namespace jwgate
