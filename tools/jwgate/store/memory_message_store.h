// The store without a file: a queue of at most queueMax messages in memory,
// the oldest dropped (counted) to make room, lost at a restart.
#pragma once

#include <deque>
#include <map>
#include <mutex>

#include "tools/jwgate/store/drop_episode.h"
#include "tools/jwgate/store/message_store.h"

namespace jwgate {

class MemoryMessageStore final : public MessageStore {
public:
    explicit MemoryMessageStore(std::size_t queueMax);

    std::uint64_t Append(StoredReading reading, StoreLanes lanes = kJsonLane) override;
    std::uint64_t Append(StoredAnswer answer) override;
    void Acknowledge(std::uint64_t id, StoreLanes lane = kJsonLane) override;
    std::vector<StoredMessage> Unsent(std::uint64_t after, std::size_t max, StoreLanes lane = kJsonLane) override;
    std::vector<HistoryRow> History(const std::string&, std::int64_t, std::int64_t, std::size_t) override {
        return {};
    }
    StoreStatistics Statistics() const override;
    std::optional<std::int64_t> Kept(const std::string& name) override;
    bool Keep(const std::string& name, std::int64_t value) override;

private:
    struct Entry {
        StoredMessage message;
        StoreLanes unsent = 0;  // the lanes still to send it
    };
    std::uint64_t Push(std::variant<StoredReading, StoredAnswer> body, StoreLanes lanes);
    std::deque<Entry>::iterator Find(std::uint64_t id);

    const std::size_t queueMax_;
    mutable std::mutex mutex_;
    std::deque<Entry> queue_;  // by id; those sent on every lane leave from the front
    std::uint64_t nextId_ = 1;
    std::uint64_t backlog_ = 0;
    std::map<std::string, std::int64_t> kept_;
    mutable DropEpisode episode_ {"memory queue"};
};

}  // namespace jwgate
