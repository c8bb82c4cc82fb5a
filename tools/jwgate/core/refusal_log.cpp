#include "tools/jwgate/core/refusal_log.h"

#include "tools/jwgate/core/log.h"

namespace jwgate {
namespace {

constexpr std::chrono::minutes kPeriod {1};
// Addresses remembered at most; a sweep of a whole network forgets the oldest.
constexpr std::size_t kMostAddresses = 1024;

}  // namespace

void RefusalLog::Refused(const std::string& address) {
    const Clock::time_point now = Clock::now();
    std::string line;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto last = lastLine_.find(address);
        if (last != lastLine_.end() && now - last->second < kPeriod) {
            ++unsaid_[address];
            return;
        }
        if (lastLine_.size() >= kMostAddresses) {
            std::erase_if(lastLine_, [&](const auto& entry) { return now - entry.second >= kPeriod; });
            if (lastLine_.size() >= kMostAddresses) lastLine_.clear();
            std::erase_if(unsaid_, [&](const auto& entry) { return !lastLine_.contains(entry.first); });
        }
        lastLine_[address] = now;
        line = server_ + ": refused a connection from " + address + ", not in allow";
        if (const auto more = unsaid_.find(address); more != unsaid_.end()) {
            line += " (and " + std::to_string(more->second) + " more since the last such line)";
            unsaid_.erase(more);
        }
    }
    Log(LogLevel::kWarning, line);
}

}  // namespace jwgate
