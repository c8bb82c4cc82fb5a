#include "tools/jwgate/gateway.h"

#include <chrono>
#include <vector>

namespace jwgate {
namespace {

std::vector<std::chrono::milliseconds> IntervalsOf(const GatewayConfig& config) {
    std::vector<std::chrono::milliseconds> intervals;
    for (const auto& point : config.points) intervals.emplace_back(point.intervalMs);
    return intervals;
}

// Writes from MQTT and Modbus alike wait no longer than a Modbus client
// waits for its answer.
WriteQueueLimits WriteLimitsOf(const GatewayConfig& config) {
    return {std::chrono::milliseconds(config.line.writeTimeoutMs), WriteQueueLimits {}.capacity};
}

}  // namespace

Gateway::Gateway(std::shared_ptr<const GatewayConfig> config)
    : config_(std::move(config)),
      table_(IntervalsOf(*config_)),
      writes_(WriteLimitsOf(*config_)),
      engine_(config_, table_, writes_) {
    // Only MQTT publishes on a change; without it the main thread need not wake.
    if (config_->mqtt.enabled) {
        std::vector<bool> everyRead;
        for (const auto& point : config_->points) everyRead.push_back(point.publishMode == PublishMode::kEveryRead);
        table_.SignalChanges(&changes_, std::move(everyRead));
    }
}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start(std::string* error) {
    if (config_->modbus.enabled) {
        modbus_ = std::make_unique<ModbusServer>(config_, table_, writes_);
        if (!modbus_->Start(error)) return false;
    }
    if (config_->mqtt.enabled) {
        store_ = MessageStore::Open(config_->store, static_cast<std::size_t>(config_->mqtt.queueMax), error);
        if (!store_) return false;
        mqtt_ = std::make_unique<MqttBridge>(config_, table_, writes_, *store_, [this] { return engine_.Counters(); });
        if (config_->sparkplug.enabled) {
            sparkplug_ = std::make_unique<sparkplug::EdgeNode>(config_, writes_, *store_, changes_);
            sparkplug::EdgeNode* node = sparkplug_.get();
            mqtt_->ShareReadings(
                [node](std::uint64_t id, const StoredReading& reading) { node->Produced(id, reading); });
        }
        if (!mqtt_->Start(error)) return false;
        if (sparkplug_ && !sparkplug_->Start(error)) return false;
    }
    if (config_->http.enabled) {
        http_ = std::make_unique<HttpServer>(config_, [this] { return Snapshot(); }, HistorySource());
        if (!http_->Start(error)) return false;
    }
    // Only the status page shows the frames, so only it costs the scan the
    // trace.
    if (http_) statistics_.TraceFrames();
    engine_.Observe(&statistics_);
    return engine_.Start(error);
}

// Only a [store] file keeps values; the memory queue keeps none.
HttpServer::HistorySource Gateway::HistorySource() {
    if (!config_->store.enabled) return {};
    return [this](const std::string& point, std::int64_t fromMs, std::int64_t toMs, std::size_t limit) {
        return store_ ? store_->History(point, fromMs, toMs, limit) : std::vector<HistoryRow> {};
    };
}

GatewaySnapshot Gateway::Snapshot() const {
    GatewaySnapshot snapshot;
    snapshot.config = config_;
    snapshot.takenAt = WallClock::now();
    for (std::size_t i = 0; i < table_.size(); ++i) snapshot.points.push_back(table_.Read(i));
    snapshot.counters = engine_.Counters();
    snapshot.stations = engine_.Stations();
    snapshot.line = statistics_.Take();
    snapshot.modbusEnabled = modbus_ != nullptr;
    if (modbus_) snapshot.modbus = modbus_->Statistics();
    snapshot.mqttEnabled = mqtt_ != nullptr;
    if (mqtt_) snapshot.mqtt = mqtt_->Statistics();
    snapshot.storeEnabled = store_ != nullptr;
    if (store_) snapshot.store = store_->Statistics();
    if (mqtt_) snapshot.storeReplayed = mqtt_->Replayed();
    snapshot.sparkplugEnabled = sparkplug_ != nullptr;
    if (sparkplug_) snapshot.sparkplug = sparkplug_->Statistics();
    return snapshot;
}

bool Gateway::Tick() {
    changes_.Clear();
    if (!mqtt_ || stopped_) return false;
    bool soon = mqtt_->Tick();
    const std::vector<StationState> stations = engine_.Stations();
    mqtt_->PublishStations(stations);
    if (sparkplug_ && sparkplug_->Tick(stations, engine_.Counters())) soon = true;
    return soon;
}

void Gateway::Stop() {
    if (stopped_) return;
    stopped_ = true;
    engine_.Stop();
    if (http_) http_->Stop();
    // NDEATH before anything else goes: hosts hear of the node's end first.
    if (sparkplug_) sparkplug_->Stop();
    if (mqtt_) mqtt_->Stop();
    if (modbus_) modbus_->Stop();
}

}  // namespace jwgate
