#include "tools/jwgate/store/in_flight.h"

#include <utility>

namespace jwgate {

bool InFlight::Send(const std::vector<std::uint64_t>& ids, const std::function<int()>& publish) {
    {
        const std::lock_guard lock(mutex_);
        const int messageId = publish();
        if (messageId < 0) return false;
        idsOfMessage_[messageId] = ids;
    }
    ids_.insert(ids.begin(), ids.end());
    return true;
}

void InFlight::Acknowledged(int messageId) {
    std::vector<std::uint64_t> ids;
    {
        const std::lock_guard lock(mutex_);
        const auto found = idsOfMessage_.find(messageId);
        if (found == idsOfMessage_.end()) return;
        ids = std::move(found->second);
        idsOfMessage_.erase(found);
    }
    for (const std::uint64_t id : ids) store_.Acknowledge(id, lane_);
    const std::lock_guard lock(mutex_);
    acknowledged_.insert(acknowledged_.end(), ids.begin(), ids.end());
}

void InFlight::TakeAcknowledged() {
    std::vector<std::uint64_t> taken;
    {
        const std::lock_guard lock(mutex_);
        taken.swap(acknowledged_);
    }
    for (const std::uint64_t id : taken) ids_.erase(id);
}

void InFlight::Forget() {
    {
        const std::lock_guard lock(mutex_);
        idsOfMessage_.clear();
        acknowledged_.clear();
    }
    ids_.clear();
}

}  // namespace jwgate
