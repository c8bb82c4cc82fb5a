// A retry back-off: the first retry after `first`, each next one twice as
// late, at most `longest` apart; and how the log says it. The port's reopen
// and the MQTT link's reconnect both follow it.
#pragma once

#include <algorithm>
#include <chrono>
#include <string>

namespace jwgate {

struct Backoff {
    std::chrono::seconds first;
    std::chrono::seconds longest;

    // The delay after one of delay.
    std::chrono::seconds After(std::chrono::seconds delay) const { return std::min(delay * 2, longest); }
    // "every 1 to 30 s".
    std::string Text() const {
        return "every " + std::to_string(first.count()) + " to " + std::to_string(longest.count()) + " s";
    }
};

// A port that cannot be opened, or whose device went away, is tried again
// with this.
inline constexpr Backoff kPortReopenBackoff {std::chrono::seconds(1), std::chrono::seconds(30)};

}  // namespace jwgate
