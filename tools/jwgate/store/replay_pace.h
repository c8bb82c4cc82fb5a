// The pace of a backlog's replay: at most rate messages a second over any
// stretch of time, catching up on at most a fifth of a second it could not
// use (a late tick), never on a longer one.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

class ReplayPace {
public:
    explicit ReplayPace(double rate) : rate_(rate) {}

    // How many may go now.
    std::size_t Budget(Clock::time_point now) {
        if (refilledAt_ != Clock::time_point {}) {
            tokens_ += rate_ * std::chrono::duration<double>(now - refilledAt_).count();
        }
        tokens_ = std::min(tokens_, std::max(1.0, rate_ * kBurstSeconds));
        refilledAt_ = now;
        return static_cast<std::size_t>(std::max(tokens_, 0.0));
    }
    void Spent(std::size_t count) { tokens_ -= static_cast<double>(count); }
    // From nothing, as at a new connection.
    void Restart() {
        tokens_ = 0;
        refilledAt_ = {};
    }

private:
    static constexpr double kBurstSeconds = 0.2;
    const double rate_;
    double tokens_ = 0;
    Clock::time_point refilledAt_ {};
};

}  // namespace jwgate
