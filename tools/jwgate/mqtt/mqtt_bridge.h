// The gateway's MQTT side: each point with a topic is published as JSON
// {"value": ..., "quality": "good|bad|stale", "timestamp": "ISO 8601 UTC",
// "unit": ...}, its value scaled and the time that of the read that gave it:
// when it changes by its deadband or its quality changes (or after every
// read) and at least once every publish period, each such value kept in the
// store until the broker has it (see Delivery: the live lane retained, the
// backlog on "<topic>/replay"); and each point's current value, retained,
// after every (re)connection, before the backlog; the
// counters go to "<status topic>/counters"; "<topic>/set" messages (a bare
// number, true/false, or {"value": n, "id": ...}) become writes, each
// answered on "<topic>/set/result" (and on an MQTT 5 request's response
// topic). The transport is the MQTT link, which never makes the scan wait
// for the broker.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/core/scan_counters.h"
#include "tools/jwgate/core/station_state.h"
#include "tools/jwgate/core/server_statistics.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwgate/store/message_store.h"

namespace jwgate {

class MqttBridge {
public:
    // Whether this build has its MQTT client; false with the reason.
    static bool Available(std::string* reason);

    // The scan's counters as of now, published with the points; thread-safe.
    using CountersSource = std::function<ScanCounters()>;

    // A "<topic>/set" write goes to writes; its outcome comes back from the
    // scan and is published at the next Tick.
    // store outlives the bridge; the table keeps every change for it from now on.
    MqttBridge(std::shared_ptr<const GatewayConfig> config, PointTable& table, WriteQueue& writes,
               MessageStore& store, CountersSource counters);
    ~MqttBridge();  // Stop()
    MqttBridge(const MqttBridge&) = delete;
    MqttBridge& operator=(const MqttBridge&) = delete;

    // Starts connecting in the background; false only for settings or a
    // library the link refuses.
    bool Start(std::string* error);
    // Before Start: each due reading is handed to sink too (on Tick's
    // thread) with its id once in the store, where it is unsent on the
    // Sparkplug lane as well (those of points without a topic on that lane
    // alone), so that another side publishes the very same values.
    void ShareReadings(std::function<void(std::uint64_t id, const StoredReading&)> sink);
    // Publishes what changed or is due; called from the main thread on
    // every change of the point table and at least once a second. True
    // when it should be called again soon (within 100 ms): not connected
    // yet, or values left due for want of room in the link.
    bool Tick();
    // Publishes each station's "online"/"offline" that changed (all of them
    // after a reconnection); called from the same thread as Tick.
    void PublishStations(const std::vector<StationState>& stations);
    // The last counters, then "offline" and disconnect. Idempotent; bounded
    // as the link's Stop is.
    void Stop();
    // Connected, and the messages sent and dropped so far. Thread-safe.
    MqttStatistics Statistics() const;
    // Backlog messages sent since the start. Thread-safe.
    std::uint64_t Replayed() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace jwgate
