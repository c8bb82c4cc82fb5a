// The build without an MQTT client: a configuration that asks for MQTT is
// refused before anything starts.
#include "tools/jwgate/mqtt/mqtt_bridge.h"

namespace jwgate {

struct MqttBridge::State {};

bool MqttBridge::Available(std::string* reason) {
    *reason = "MQTT not built: this jwgate has no MQTT client (build it with libmosquitto)";
    return false;
}

MqttBridge::MqttBridge(std::shared_ptr<const GatewayConfig>, PointTable&, WriteQueue&, MessageStore&, CountersSource) {}
MqttBridge::~MqttBridge() = default;

bool MqttBridge::Start(std::string* error) { return Available(error); }
bool MqttBridge::Tick() { return false; }
void MqttBridge::PublishStations(const std::vector<StationState>&) {}
void MqttBridge::Stop() {}
void MqttBridge::ShareReadings(std::function<void(std::uint64_t, const StoredReading&)>) {}

MqttStatistics MqttBridge::Statistics() const { return {}; }
std::uint64_t MqttBridge::Replayed() const { return 0; }

}  // namespace jwgate
