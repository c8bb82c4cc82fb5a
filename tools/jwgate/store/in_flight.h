// What a sender has handed the broker on one lane of the store and the
// broker has not yet acknowledged: each message id stands for the store ids
// it carries. On its acknowledgement (the link's thread) they are
// acknowledged to the store first, then, at the sender's next
// TakeAcknowledged, no longer in flight: an id the sender no longer counts
// in flight is one the store no longer calls unsent on the lane. Send,
// TakeAcknowledged, Contains and Forget belong to the sender's thread.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "tools/jwgate/store/message_store.h"

namespace jwgate {

class InFlight {
public:
    InFlight(MessageStore& store, StoreLanes lane) : store_(store), lane_(lane) {}

    // publish's message id (-1: refused, false) stands for ids from now on.
    // It runs under the lock, so that its acknowledgement cannot come
    // before its ids are known.
    bool Send(const std::vector<std::uint64_t>& ids, const std::function<int()>& publish);
    // The broker acknowledged messageId; an id not sent, or sent on a
    // connection since forgotten, is ignored. The link's thread.
    void Acknowledged(int messageId);
    void TakeAcknowledged();
    bool Contains(std::uint64_t id) const { return ids_.count(id) != 0; }
    // A new connection: what was in flight on the old one was maybe lost.
    void Forget();

private:
    MessageStore& store_;
    const StoreLanes lane_;
    std::unordered_set<std::uint64_t> ids_;  // the sender's: sent, acknowledgement not yet taken

    std::mutex mutex_;  // the link's thread's side
    std::unordered_map<int, std::vector<std::uint64_t>> idsOfMessage_;
    std::vector<std::uint64_t> acknowledged_;
};

}  // namespace jwgate
