#include "tools/jwgate/sparkplug/sparkplug_delivery.h"

namespace jwgate::sparkplug {
namespace {

// The most of the backlog read from the store at once.
constexpr std::size_t kReplayBatch = 256;

}  // namespace

SparkplugDelivery::SparkplugDelivery(const StoreConfig& config, MessageStore& store)
    : store_(store), inFlight_(store, kSparkplugLane), pace_(config.replayRate) {}

bool SparkplugDelivery::Send(std::vector<std::uint64_t> ids, const std::function<int()>& publish) {
    return inFlight_.Send(ids, publish);
}

void SparkplugDelivery::Acknowledged(int messageId) { inFlight_.Acknowledged(messageId); }

void SparkplugDelivery::NewConnection() {
    inFlight_.Forget();
    pace_.Restart();
    Born();
}

void SparkplugDelivery::Born() {
    cursor_ = 0;
    backlogLeft_ = true;
}

bool SparkplugDelivery::Replay(Clock::time_point now, const HistorySender& sendHistory) {
    inFlight_.TakeAcknowledged();
    std::size_t budget = pace_.Budget(now);
    if (budget == 0) return backlogLeft_;
    backlogLeft_ = true;
    while (budget > 0) {
        const std::vector<StoredMessage> batch = store_.Unsent(cursor_, kReplayBatch, kSparkplugLane);
        std::vector<StoredMessage> fresh;
        std::size_t looked = 0;
        for (; looked < batch.size() && fresh.size() < budget; ++looked) {
            if (!inFlight_.Contains(batch[looked].id)) fresh.push_back(batch[looked]);
        }
        const std::size_t done = fresh.empty() ? 0 : sendHistory(fresh);
        budget -= done;
        pace_.Spent(done);
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
