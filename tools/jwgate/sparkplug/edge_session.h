// The gateway's Sparkplug B session as the standard orders it, kept apart
// from the MQTT client: fed what happens (the broker connected, a message
// received, a station answering or not, values read), it answers with what
// to publish, the writes hosts asked for and when to end the connection.
// No sockets, threads or clocks: the caller gives the time and the bdSeq
// (which it keeps across restarts) and owns the one instance.
//
//   connect (will: NDEATH with bdSeq) -> [primary host online] -> NBIRTH
//   (seq 0) -> one DBIRTH per answering station -> DDATA, NDATA, DBIRTH and
//   DDEATH as things change; seq counts every message of the session, 0 to
//   255 and round again. A Rebirth command starts again at NBIRTH; the
//   primary host going offline, or a stop, publishes NDEATH and disconnects.
#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/sparkplug/sparkplug_commands.h"
#include "tools/jwgate/sparkplug/sparkplug_names.h"
#include "tools/jwgate/sparkplug/sparkplug_payloads.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate::sparkplug {

// The bdSeq of the session after one with last: 0 to 255, then 0 again.
inline std::uint64_t NextBdSeq(std::uint64_t last) { return (last + 1) % 256; }

struct Outgoing {
    std::string topic;
    std::string payload;  // a serialized Payload
    int qos = 0;
    bool retain = false;
    // A DDATA's: the indices, in the readings given, of the values it
    // carries (QoS 1: each is the store's until the broker has it).
    std::vector<std::size_t> carries {};
};

struct SessionOutput {
    std::vector<Outgoing> publish;          // in this order
    std::vector<PointWrite> writes;         // for the write queue, as /set writes
    std::vector<CommandRefusal> refusals;   // commands refused, for the log and the counter
    std::vector<StoredReading> held;        // historical readings of stations not born: not sent
    bool disconnect = false;                // end the connection once publish is out
};

class EdgeSession {
public:
    EdgeSession(SparkplugConfig config, std::vector<PointConfig> points);

    // What to subscribe to once connected: NCMD, DCMD of every device, and
    // the primary host's STATE when one is configured.
    std::vector<std::string> Subscriptions() const;
    // The will of a connection whose bdSeq this is (QoS 1, not retained).
    Outgoing Will(std::uint64_t bdSeq, std::int64_t nowMs) const;

    // The connection registered Will(bdSeq) is up and subscribed.
    SessionOutput Connected(std::uint64_t bdSeq, std::int64_t nowMs);
    void Disconnected();
    // A message on a subscribed topic: STATE, NCMD or DCMD.
    SessionOutput Received(std::string_view topic, std::string_view payload, std::int64_t nowMs);
    SessionOutput StationUp(int station, std::int64_t nowMs);
    SessionOutput StationDown(int station, std::int64_t nowMs);
    // Readings to publish as they are now (each point's publish rule already
    // applied); the births carry the latest of each point.
    SessionOutput Values(const std::vector<StoredReading>& readings, std::int64_t nowMs);
    // Readings from the store's backlog, oldest first: DDATA marked
    // historical, not taken as current values.
    SessionOutput History(const std::vector<StoredReading>& readings, std::int64_t nowMs);
    SessionOutput Counters(const ScanCounters& counters, std::int64_t nowMs);
    // A clean stop: NDEATH, then disconnect.
    SessionOutput Stop(std::int64_t nowMs);

    bool Born() const { return born_; }

private:
    Topic NodeTopicOf(MessageType type) const;
    Topic DeviceTopicOf(MessageType type, int station) const;
    Outgoing& Add(SessionOutput& output, const Topic& topic, Payload payload, bool numbered);
    void Births(SessionOutput& output, std::int64_t nowMs);
    void DeviceBirth(SessionOutput& output, int station, std::int64_t nowMs);
    void DeviceData(SessionOutput& output, const std::vector<StoredReading>& readings, std::int64_t nowMs,
                    bool historical);
    void Death(SessionOutput& output, std::int64_t nowMs);
    void HostState(SessionOutput& output, std::string_view payload, std::int64_t nowMs);
    void Command(SessionOutput& output, const Topic& topic, std::string_view payload, std::int64_t nowMs);

    SparkplugConfig config_;
    std::vector<PointConfig> points_;
    std::unordered_map<std::string, std::size_t> pointNamed_;
    std::set<int> stations_;         // those with points
    std::set<int> answering_;        // those answering now
    std::vector<StoredReading> latest_;  // each point's, for the births
    ScanCounters counters_;
    ScanCounters sentCounters_;
    bool connected_ = false;
    bool hostOnline_;                // always with no primary host
    std::optional<std::int64_t> hostStateMs_;  // the newest STATE's timestamp
    bool born_ = false;
    std::uint64_t bdSeq_ = 0;
    unsigned nextSeq_ = 0;
};

}  // namespace jwgate::sparkplug
