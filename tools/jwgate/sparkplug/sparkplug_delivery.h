// The edge node's lane of the store: every reading it is given is kept
// there until the broker has a DDATA carrying it (QoS 1, acknowledged on
// PUBACK), live or historical. After each birth, what is still unsent
// (read while the broker or the primary host was away, or in flight when a
// connection ended) goes out again oldest first, at most replay_rate
// readings a second, as DDATA marked historical. Acknowledged runs on the
// link's thread; everything else on the node's.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/clock.h"
#include "tools/jwgate/store/in_flight.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwgate/store/replay_pace.h"

namespace jwgate::sparkplug {

class SparkplugDelivery {
public:
    SparkplugDelivery(const StoreConfig& config, MessageStore& store);

    // Publishes a DDATA carrying the readings ids through publish (its
    // message id, or -1 when the link refused it) and follows it until
    // the broker acknowledges it; false when refused.
    bool Send(std::vector<std::uint64_t> ids, const std::function<int()>& publish);
    // The broker acknowledged messageId; the link's thread.
    void Acknowledged(int messageId);
    // A new connection: what was in flight on the old one was maybe lost.
    void NewConnection();
    // Births went out: the backlog is looked at again from its start, the
    // readings of stations not born before now included.
    void Born();
    // Hands sendHistory the backlog's next messages, oldest first, not in
    // flight, at most replay_rate a second; it answers how many of them,
    // from the front, it is done with (sent, or held for a station not born
    // until the next birth), fewer when the link refused one. True while
    // some is left.
    using HistorySender = std::function<std::size_t(const std::vector<StoredMessage>& backlog)>;
    bool Replay(Clock::time_point now, const HistorySender& sendHistory);

private:
    MessageStore& store_;
    InFlight inFlight_;
    ReplayPace pace_;
    std::uint64_t cursor_ = 0;  // the last backlog id looked at
    bool backlogLeft_ = true;
};

}  // namespace jwgate::sparkplug
