// How the messages that matter (point values, answers to writes) reach the
// broker: each is kept in the store first, then sent at QoS 1 and left there
// until the broker acknowledged it. Two lanes: the live one sends what was
// produced while connected, at once and retained; the replay lane sends the
// backlog (what the broker missed: an outage, a restart, a full link)
// oldest first, at most replay_rate a second, on "<topic>/replay", never
// retained and marked "replayed": true, so that a live change always
// overtakes it and a replayed value never becomes a topic's retained one.
// Acknowledged is called on the link's thread; everything else on the
// bridge's.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <unordered_set>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/clock.h"
#include "tools/jwgate/mqtt/mqtt_link.h"
#include "tools/jwgate/store/in_flight.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwgate/store/replay_pace.h"

namespace jwgate {

class Delivery {
public:
    Delivery(const GatewayConfig& config, MessageStore& store, MqttLink& link);

    // Kept in the store, unsent on lanes, and queued for the live lane when
    // lanes holds the JSON one; its id in the store.
    std::uint64_t Produce(StoredReading reading, StoreLanes lanes = kJsonLane);
    void Produce(StoredAnswer answer);
    // The broker acknowledged messageId; the link's thread.
    void Acknowledged(int messageId);
    // A new connection: what was in flight on the old one was maybe lost,
    // so the backlog is read again from its start.
    void NewConnection();
    // The broker is away: the live lane's messages wait in the store.
    void Disconnected();
    // Sends the live lane's messages, up to room; the room left. A value
    // that waited too long for room goes to the backlog instead, and
    // deferred hears its point: its topic's retained value is then to be
    // brought up to date another way.
    int SendLive(int room, const std::function<void(std::size_t point)>& deferred);
    // Sends the backlog, up to room and replay_rate; true while some is left.
    bool Replay(int room, Clock::time_point now);
    // Backlog messages sent since the start.
    std::uint64_t Replayed() const;

private:
    struct Live {
        std::uint64_t id;
        StoredMessage message;
    };
    // The message's topic and payload as its lane words it; false for a
    // reading of a point no longer published.
    bool Word(const StoredMessage& message, bool replayed, std::string* topic, std::string* payload) const;
    // Sends message; false when the link refused it.
    bool Send(const StoredMessage& message, bool replayed);

    const GatewayConfig& config_;
    MessageStore& store_;
    MqttLink& link_;
    InFlight inFlight_;  // the JSON lane's
    ReplayPace pace_;
    std::map<std::string, std::size_t> pointOfName_;  // the published points
    std::deque<Live> live_;
    std::unordered_set<std::uint64_t> liveIds_;  // of live_
    std::uint64_t cursor_ = 0;                   // the last backlog id looked at
    bool backlogLeft_ = true;                    // as the last look found
    std::atomic<std::uint64_t> replayed_ {0};
};

}  // namespace jwgate
