// Home Assistant MQTT discovery: each point with an MQTT topic is announced
// by a retained config at <prefix>/<component>/<gateway id>/<point id>/config
// (a relay as binary_sensor, or switch when writable; a value as sensor, or
// number when writable), and the configs of points that are gone are
// cleared with an empty retained message. Nothing here talks to the broker:
// the bridge hands the publishes to the MQTT link.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/config/discovery_names.h"

namespace jwgate {

// The gateway's id in discovery topics, unique ids and its device: from the
// client id, or from the status topic when no client id is set.
std::string DiscoveryGatewayId(const MqttConfig& mqtt);

struct DiscoveryMessage {
    std::string topic;
    std::string payload;
};

// The retained config announcing point (which has an MQTT topic) under
// config.mqtt.discoveryPrefix.
DiscoveryMessage DiscoveryConfigOf(const GatewayConfig& config, const PointConfig& point);

// One gateway's discovery: its configs, published once per connection before
// any value, and the clearing of stale configs. Seen runs on the MQTT link's
// network thread, the rest on the bridge's.
class Discovery {
public:
    // Stale configs waiting to be cleared at most; more wait for the next
    // connection, when the broker sends them again.
    static constexpr std::size_t kMaxStale = 1000;

    // Publishes a retained message; false when the link refused it.
    using Publisher = std::function<bool(const std::string& topic, const std::string& payload)>;

    explicit Discovery(const GatewayConfig& config);

    // <prefix>/+/<gateway id>/+/config: this gateway's configs, and only its.
    const std::string& Filter() const { return filter_; }

    // A retained message on Filter(): a config no current point publishes
    // (removed, or now of another component) is queued to be cleared.
    void Seen(const std::string& topic, std::size_t payloadSize);

    // A new connection: every config goes out again.
    void Restart();
    // Publishes up to room configs still due on this connection, then clears
    // of stale ones; the room left.
    int Publish(int room, const Publisher& publish);
    // Every config has gone out on this connection.
    bool ConfigsOut() const { return next_ == configs_.size(); }

private:
    std::string prefix_;
    std::string gatewayId_;
    std::string filter_;
    std::vector<DiscoveryMessage> configs_;
    std::set<std::string> current_;
    std::size_t next_ = 0;

    std::mutex mutex_;
    std::deque<std::string> stale_;
    std::set<std::string> queued_;
    bool overflowing_ = false;  // refused some since the queue was last empty
};

}  // namespace jwgate
