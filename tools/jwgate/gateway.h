// One serial line's gateway: the point table, the write queue, the scan
// engine and the servers, owned together and started and stopped in the one
// safe order. The program around it keeps the command line and the signals;
// the configuration is shared by every part, so it lives as long as the
// last of them.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/http/gateway_snapshot.h"
#include "tools/jwgate/http/http_server.h"
#include "tools/jwgate/line/line_statistics.h"
#include "tools/jwgate/modbus/modbus_server.h"
#include "tools/jwgate/mqtt/mqtt_bridge.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/line/scan_engine.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwgate/sparkplug/edge_node.h"

namespace jwgate {

class Gateway {
public:
    explicit Gateway(std::shared_ptr<const GatewayConfig> config);
    ~Gateway();  // Stop()
    Gateway(const Gateway&) = delete;
    Gateway& operator=(const Gateway&) = delete;

    // Starts the servers the configuration asks for (Modbus, MQTT, HTTP),
    // then the scan, which opens the line (or keeps trying to); false with
    // the reason when a server cannot start or the port refuses the line's
    // settings (those started are stopped by Stop).
    bool Start(std::string* error);
    // Readable when a point changed: the owner then calls Tick at once.
    int changeFd() const { return changes_.fd(); }
    // The scan's heartbeat (ScanEngine::Heartbeat); before Start.
    void Heartbeat(std::function<void()> beat, Clock::duration period) {
        engine_.Heartbeat(std::move(beat), period);
    }
    // Publishes to MQTT (and as the Sparkplug B node) what changed or is due; called by the owner on every
    // change and at least once a second. True when it asks to be called
    // again within 100 ms.
    bool Tick();
    // In the reverse order of Start: the scan first, so that the writes it
    // still holds are answered as failed while the servers can still
    // answer; then HTTP, MQTT and Modbus. Each stop is safe whatever was
    // stopped before it. Bounded in time whatever the line does. Idempotent.
    void Stop();

    ScanCounters Counters() const { return engine_.Counters(); }
    // Each station's state, in station order; thread-safe.
    std::vector<StationState> Stations() const { return engine_.Stations(); }
    // Everything the metrics and the status page show, as of now; thread-safe.
    GatewaySnapshot Snapshot() const;

private:
    HttpServer::HistorySource HistorySource();

    // Each part is declared after everything it (or a callback it holds)
    // uses, so that destroyed in reverse it stops before those go, whether
    // or not Stop ran: each part's destructor stops its own threads.
    const std::shared_ptr<const GatewayConfig> config_;
    ChangeSignal changes_;  // before the table, which notifies it
    PointTable table_;
    WriteQueue writes_;
    LineStatistics statistics_;
    ScanEngine engine_;  // uses the table, the queue and the statistics
    std::unique_ptr<ModbusServer> modbus_;  // the table and the queue
    std::unique_ptr<MessageStore> store_;  // with MQTT: what it publishes, until the broker has it
    // The store and the queue; before the bridge, which hands it readings.
    std::unique_ptr<sparkplug::EdgeNode> sparkplug_;
    std::unique_ptr<MqttBridge> mqtt_;  // those, the store and the engine's counters
    // Last, so destroyed first: it reads all of the above.
    std::unique_ptr<HttpServer> http_;
    bool stopped_ = false;
};

}  // namespace jwgate
