// The gateway as a Sparkplug B edge node: a second MQTT session to the
// broker [mqtt] names (its TLS settings and credentials, the [sparkplug]
// client id, a clean session) whose will is NDEATH with the session's bdSeq,
// kept in the store so that it goes up by one per connection across
// restarts. The session's rules are EdgeSession's; this feeds it what the
// gateway sees (the due readings the MQTT side produced, each station
// answering or not, the counters, the commands hosts send) and carries out
// what it answers: publishes, writes through the write queue with the /set
// path's range check, and the end of a connection. Each reading is the
// store's until a DDATA carrying it reached the broker; what the broker or
// the primary host missed goes out after the next birth as historical
// DDATA (SparkplugDelivery). Everything but Statistics and the link's
// callbacks runs on the owner's thread (Tick's).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/change_signal.h"
#include "tools/jwgate/core/clock.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/core/server_statistics.h"
#include "tools/jwgate/core/station_state.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwgate/mqtt/mqtt_link.h"
#include "tools/jwgate/sparkplug/edge_session.h"
#include "tools/jwgate/sparkplug/sparkplug_delivery.h"
#include "tools/jwgate/store/message_store.h"

namespace jwgate::sparkplug {

class EdgeNode {
public:
    // The store's name for the last bdSeq given to a connection.
    static constexpr char kBdSeqName[] = "sparkplug.bdseq";

    // store, writes and wake outlive the node; wake is notified when a
    // message came, so that the owner calls Tick at once.
    EdgeNode(std::shared_ptr<const GatewayConfig> config, WriteQueue& writes, MessageStore& store, ChangeSignal& wake);
    ~EdgeNode();  // Stop()
    EdgeNode(const EdgeNode&) = delete;
    EdgeNode& operator=(const EdgeNode&) = delete;

    // Starts connecting in the background; false only for settings the link refuses.
    bool Start(std::string* error);
    // A due reading, as the MQTT side produced it and kept it in the store
    // as id on the Sparkplug lane; goes out at the next Tick.
    void Produced(std::uint64_t id, const StoredReading& reading);
    // Publishes what happened since the last call; true to be called again soon.
    bool Tick(const std::vector<StationState>& stations, const ScanCounters& counters);
    // NDEATH, then disconnect. Idempotent; bounded as the link's Stop is.
    void Stop();
    // Thread-safe.
    SparkplugStatistics Statistics() const;

private:
    struct Received {
        std::string topic;
        std::string payload;
    };
    MqttLink::LastWord NextLastWord();
    // ids: the store's ids of the readings output's DDATA carry, when live.
    void Apply(const SessionOutput& output, const std::vector<std::uint64_t>* ids = nullptr);
    void Publish(const Outgoing& message, bool ending);
    // A DDATA at QoS 1, its readings followed until the broker has them.
    bool PublishCarrying(const Outgoing& message, std::vector<std::uint64_t> ids);
    // SparkplugDelivery's HistorySender: one DDATA per run of a station's
    // readings, so that they go out in the order they were read.
    std::size_t SendHistory(const std::vector<StoredMessage>& backlog, std::int64_t nowMs);
    void Write(const PointWrite& write);
    void Refused(const CommandRefusal& refusal);
    void FollowConnection(std::int64_t nowMs);
    void FollowStations(const std::vector<StationState>& stations, std::int64_t nowMs);

    const std::shared_ptr<const GatewayConfig> config_;
    WriteQueue& writes_;
    MessageStore& store_;
    EdgeSession session_;
    std::vector<StoredReading> readings_;
    std::vector<std::uint64_t> readingIds_;  // readings_'s in the store
    // A station is born once each of its points has been read: its DBIRTH
    // then carries a value (or a bad quality) for every metric, not nulls
    // for the points the first scan had not reached yet.
    std::map<std::string, int> stationOfPoint_;
    std::set<std::string> unread_;      // points not produced yet
    std::map<int, int> unreadOfStation_;
    std::uint64_t connections_ = 0;  // the link's, as last seen
    bool connected_ = false;         // as last seen
    Clock::time_point countersAt_ {};
    bool stopped_ = false;
    std::atomic<std::uint64_t> bdSeq_ {0};  // of the connection attempt under way or made

    SparkplugDelivery delivery_;

    mutable std::mutex mutex_;
    std::vector<Received> received_;  // from the link's thread
    SparkplugStatistics statistics_;
    std::unique_ptr<MqttLink> link_;  // last: its thread calls into the members above
};

}  // namespace jwgate::sparkplug
