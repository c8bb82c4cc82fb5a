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
    return {std::chrono::milliseconds(config.modbus.writeTimeoutMs), WriteQueueLimits {}.capacity};
}

}  // namespace

Gateway::Gateway(const GatewayConfig& config)
    : config_(config), table_(IntervalsOf(config)), writes_(WriteLimitsOf(config)), engine_(config, table_, writes_) {}

Gateway::~Gateway() { Stop(); }

bool Gateway::Start(std::string* error) {
    if (!engine_.Open(error)) return false;
    if (config_.modbus.enabled) {
        modbus_ = std::make_unique<ModbusServer>(config_, table_, writes_);
        if (!modbus_->Start(error)) return false;
    }
    if (config_.mqtt.enabled) {
        mqtt_ = std::make_unique<MqttBridge>(config_, table_, writes_);
        if (!mqtt_->Start(error)) return false;
    }
    engine_.Start();
    return true;
}

void Gateway::Tick() {
    if (mqtt_ && !stopped_) {
        mqtt_->Tick(engine_.Counters());
        mqtt_->PublishStations(engine_.Stations());
    }
}

void Gateway::Stop() {
    if (stopped_) return;
    stopped_ = true;
    engine_.Stop();
    if (modbus_) modbus_->Stop();
    if (mqtt_) mqtt_->Stop(engine_.Counters());
}

}  // namespace jwgate
