#include "tools/jwgate/sparkplug/sparkplug_delivery.h"

#include <algorithm>
#include <chrono>

namespace jwgate::sparkplug {
namespace {

// The most of the backlog read from the store at once.
constexpr std::size_t kReplayBatch = 256;
// The replay may catch up on this much of a second it could not use (a
// late tick), no more: its rate holds over any stretch of time.
constexpr double kReplayBurstSeconds = 0.2;

}  // namespace

SparkplugDelivery::SparkplugDelivery(const StoreConfig& config, MessageStore& store)
    : config_(config), store_(store) {}

bool SparkplugDelivery::Send(std::vector<std::uint64_t> ids, const std::function<int()>& publish) {
    {
        // Held across the publish, so that an acknowledgement cannot come
        // before the ids are known.
        const std::lock_guard lock(mutex_);
        const int messageId = publish();
        if (messageId < 0) return false;
        idsOfMessage_[messageId] = ids;
    }
    inFlight_.insert(ids.begin(), ids.end());
    return true;
}

// The store hears of it before the node's thread does: an id no longer in
// flight is one the store no longer calls unsent on this lane.
void SparkplugDelivery::Acknowledged(int messageId) {
    std::vector<std::uint64_t> ids;
    {
        const std::lock_guard lock(mutex_);
        const auto found = idsOfMessage_.find(messageId);
        if (found == idsOfMessage_.end()) return;  // not tracked, or sent on a connection since gone
        ids = std::move(found->second);
        idsOfMessage_.erase(found);
    }
    for (const std::uint64_t id : ids) store_.Acknowledge(id, kSparkplugLane);
    const std::lock_guard lock(mutex_);
    acknowledged_.insert(acknowledged_.end(), ids.begin(), ids.end());
}

void SparkplugDelivery::TakeAcknowledged() {
    std::vector<std::uint64_t> taken;
    {
        const std::lock_guard lock(mutex_);
        taken.swap(acknowledged_);
    }
    for (const std::uint64_t id : taken) inFlight_.erase(id);
}

void SparkplugDelivery::NewConnection() {
    {
        const std::lock_guard lock(mutex_);
        idsOfMessage_.clear();
        acknowledged_.clear();
    }
    inFlight_.clear();
    tokens_ = 0;
    refilledAt_ = {};
    Born();
}

void SparkplugDelivery::Born() {
    cursor_ = 0;
    backlogLeft_ = true;
}

bool SparkplugDelivery::Replay(Clock::time_point now, const HistorySender& sendHistory) {
    TakeAcknowledged();
    const double rate = config_.replayRate;
    if (refilledAt_ != Clock::time_point {}) tokens_ += rate * std::chrono::duration<double>(now - refilledAt_).count();
    tokens_ = std::min(tokens_, std::max(1.0, rate * kReplayBurstSeconds));
    refilledAt_ = now;
    auto budget = static_cast<std::size_t>(std::max(tokens_, 0.0));
    if (budget == 0) return backlogLeft_;
    backlogLeft_ = true;
    while (budget > 0) {
        const std::vector<StoredMessage> batch = store_.Unsent(cursor_, kReplayBatch, kSparkplugLane);
        std::vector<StoredMessage> fresh;
        std::size_t looked = 0;
        for (; looked < batch.size() && fresh.size() < budget; ++looked) {
            if (inFlight_.count(batch[looked].id) == 0) fresh.push_back(batch[looked]);
        }
        const std::size_t done = fresh.empty() ? 0 : sendHistory(fresh);
        budget -= done;
        tokens_ -= static_cast<double>(done);
        if (done < fresh.size()) {
            if (done > 0) cursor_ = fresh[done - 1].id;
            return true;
        }
        if (looked > 0) cursor_ = batch[looked - 1].id;
        if (looked == batch.size() && batch.size() < kReplayBatch) return backlogLeft_ = false;
    }
    return true;
}

}  // namespace jwgate::sparkplug
