#include "tools/jwgate/store/memory_message_store.h"

#include <algorithm>

#include "tools/jwgate/store/produced_time.h"

namespace jwgate {

MemoryMessageStore::MemoryMessageStore(std::size_t queueMax) : queueMax_(std::max<std::size_t>(queueMax, 1)) {}

std::uint64_t MemoryMessageStore::Append(StoredReading reading, StoreLanes lanes) {
    return Push(std::move(reading), lanes);
}

std::uint64_t MemoryMessageStore::Append(StoredAnswer answer) { return Push(std::move(answer), kJsonLane); }

std::uint64_t MemoryMessageStore::Push(std::variant<StoredReading, StoredAnswer> body, StoreLanes lanes) {
    std::lock_guard lock(mutex_);
    auto now = Clock::now();
    std::uint64_t dropped = 0;
    while (queue_.size() >= queueMax_) {
        if (queue_.front().unsent != 0) {
            ++dropped;
            --backlog_;
        }
        queue_.pop_front();
    }
    while (!queue_.empty() && queue_.front().unsent == 0) queue_.pop_front();
    if (dropped > 0) {
        episode_.Dropped(dropped, "the memory queue holds " + std::to_string(queueMax_) + " messages", now);
    } else {
        episode_.Settle(now);
    }
    std::uint64_t id = nextId_++;
    queue_.push_back(Entry {StoredMessage {id, ProducedMs(), std::move(body)}, lanes});
    if (lanes != 0) ++backlog_;
    return id;
}

std::deque<MemoryMessageStore::Entry>::iterator MemoryMessageStore::Find(std::uint64_t id) {
    auto entry = std::lower_bound(queue_.begin(), queue_.end(), id,
                                  [](const Entry& e, std::uint64_t wanted) { return e.message.id < wanted; });
    return entry != queue_.end() && entry->message.id == id ? entry : queue_.end();
}

void MemoryMessageStore::Acknowledge(std::uint64_t id, StoreLanes lane) {
    std::lock_guard lock(mutex_);
    auto entry = Find(id);
    if (entry == queue_.end() || (entry->unsent & lane) == 0) return;
    entry->unsent &= ~lane;
    if (entry->unsent != 0) return;
    --backlog_;
    while (!queue_.empty() && queue_.front().unsent == 0) queue_.pop_front();
}

std::vector<StoredMessage> MemoryMessageStore::Unsent(std::uint64_t after, std::size_t max, StoreLanes lane) {
    std::lock_guard lock(mutex_);
    std::vector<StoredMessage> unsent;
    auto entry = std::upper_bound(queue_.begin(), queue_.end(), after,
                                  [](std::uint64_t wanted, const Entry& e) { return wanted < e.message.id; });
    for (; entry != queue_.end() && unsent.size() < max; ++entry) {
        if ((entry->unsent & lane) != 0) unsent.push_back(entry->message);
    }
    return unsent;
}

StoreStatistics MemoryMessageStore::Statistics() const {
    std::lock_guard lock(mutex_);
    episode_.Settle(Clock::now());
    StoreStatistics statistics;
    statistics.backlog = backlog_;
    statistics.dropped = episode_.total();
    if (!queue_.empty()) statistics.backlogAgeSeconds = AgeSeconds(queue_.front().message.producedMs);
    return statistics;
}

std::optional<std::int64_t> MemoryMessageStore::Kept(const std::string& name) {
    std::lock_guard lock(mutex_);
    const auto found = kept_.find(name);
    if (found == kept_.end()) return std::nullopt;
    return found->second;
}

bool MemoryMessageStore::Keep(const std::string& name, std::int64_t value) {
    std::lock_guard lock(mutex_);
    kept_[name] = value;
    return true;
}

}  // namespace jwgate
