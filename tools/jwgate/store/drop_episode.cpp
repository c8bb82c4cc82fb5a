#include "tools/jwgate/store/drop_episode.h"

#include "tools/jwgate/core/log.h"

namespace jwgate {

namespace {
constexpr auto kQuiet = std::chrono::seconds(1);
}

void DropEpisode::Dropped(std::uint64_t count, const std::string& why, Clock::time_point now) {
    if (count == 0) return;
    if (!active_) {
        active_ = true;
        why_ = why;
        lost_ = 0;
        Log(LogLevel::kWarning, "store: " + where_ + ": dropping the oldest unsent messages: " + why);
    }
    lost_ += count;
    total_ += count;
    lastDrop_ = now;
}

void DropEpisode::Settle(Clock::time_point now) {
    if (!active_ || now - lastDrop_ < kQuiet) return;
    active_ = false;
    Log(LogLevel::kWarning, "store: " + where_ + ": no longer dropping; " + std::to_string(lost_) +
                                " unsent messages lost (" + why_ + ")");
}

}  // namespace jwgate
