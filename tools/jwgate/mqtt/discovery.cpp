#include "tools/jwgate/mqtt/discovery.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <utility>

#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/core/scaling.h"
#include "tools/jwgate/mqtt/station_topics.h"

namespace jwgate {
namespace {

const char* ComponentOf(const PointConfig& point) {
    if (point.type == ValueType::kRelay) return point.writable ? "switch" : "binary_sensor";
    return point.writable ? "number" : "sensor";
}

// The bounds a number entity offers: those of the type in the point's unit,
// so that the gateway never refuses a value the frontend lets through; a
// step is one raw unit.
void AddBounds(const PointConfig& point, nlohmann::ordered_json& json) {
    const ScaledRange range = ScaledRangeOf(point.type, point.scaling);
    json["min"] = range.low;
    json["max"] = range.high;
    // 0.001 is the finest step the frontend takes; a value written with more
    // digits still goes through /set.
    const double step = point.type == ValueType::kFloat ? 0.001 : std::fabs(point.scaling.scale);
    json["step"] = std::max(step, 0.001);
}

// What the value means, from the point's configuration.
void AddMeaning(const PointConfig& point, const char* component, nlohmann::ordered_json& json) {
    const bool sensor = std::string(component) == "sensor";
    if (!point.unit.empty()) json["unit_of_measurement"] = point.unit;
    if (!point.deviceClass.empty()) json["device_class"] = point.deviceClass;
    if (sensor) json["state_class"] = point.stateClass.empty() ? "measurement" : point.stateClass;
    if (sensor && point.precision >= 0) json["suggested_display_precision"] = point.precision;
}

std::string DeviceName(const GatewayConfig& config) {
    if (config.mqtt.clientId.empty()) return "jwgate on " + config.line.port;
    return "jwgate " + config.mqtt.clientId + " on " + config.line.port;
}

bool IsId(const std::string& level) { return !level.empty() && std::all_of(level.begin(), level.end(), IsDiscoveryIdByte); }

std::vector<std::string> Levels(const std::string& topic) {
    std::vector<std::string> levels(1);
    for (const char c : topic) {
        if (c == '/') {
            levels.emplace_back();
        } else {
            levels.back() += c;
        }
    }
    return levels;
}

}  // namespace

std::string DiscoveryGatewayId(const MqttConfig& mqtt) {
    return DiscoveryId(mqtt.clientId.empty() ? mqtt.statusTopic : mqtt.clientId);
}

DiscoveryMessage DiscoveryConfigOf(const GatewayConfig& config, const PointConfig& point) {
    const std::string gateway = DiscoveryGatewayId(config.mqtt);
    const std::string id = DiscoveryId(point.name);
    const char* component = ComponentOf(point);
    nlohmann::ordered_json json;
    json["name"] = point.name;
    json["unique_id"] = gateway + "_" + id;
    json["state_topic"] = point.mqttTopic;
    // The value published is {"value": ..., "quality": ..., "timestamp": ...};
    // "None" is what each of these components takes as unknown: a value that
    // is not good now (the last good one, kept in the payload) is never shown
    // as current, and a null one (no good read yet) renders "None" too.
    json["value_template"] = "{{ value_json.value if value_json.quality == 'good' else None }}";
    if (point.writable) json["command_topic"] = SetTopic(point.mqttTopic);
    if (point.type == ValueType::kRelay) {
        // Relays read 0 or 1; "1" and "0" are what /set takes as well.
        json["payload_on"] = "1";
        json["payload_off"] = "0";
        if (point.writable) {
            json["state_on"] = "1";
            json["state_off"] = "0";
        }
    } else if (point.writable) {
        AddBounds(point, json);
        // A type's whole range makes a useless slider.
        json["mode"] = "box";
    }
    AddMeaning(point, component, json);
    // Available while the gateway runs and the point's station answers.
    json["availability"] = nlohmann::ordered_json::array();
    for (const std::string& topic : {config.mqtt.statusTopic,
                                     StationStatusTopics::TopicOf(config.mqtt.statusTopic, point.item.station)}) {
        json["availability"].push_back(
            {{"topic", topic}, {"payload_available", "online"}, {"payload_not_available", "offline"}});
    }
    json["availability_mode"] = "all";
    // Write requests must not be lost on the way, as the gateway's own
    // subscription says.
    json["qos"] = 1;
    json["device"] = {
        {"identifiers", {gateway}},
        {"name", DeviceName(config)},
        {"model", "JW serial line gateway"},
        {"manufacturer", "jwgate"},
    };
    // The configuration's text is UTF-8 already; should a byte not be, it is
    // replaced rather than the config lost.
    return {config.mqtt.discoveryPrefix + "/" + component + "/" + gateway + "/" + id + "/config",
            json.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)};
}

Discovery::Discovery(const GatewayConfig& config)
    : prefix_(config.mqtt.discoveryPrefix),
      gatewayId_(DiscoveryGatewayId(config.mqtt)),
      filter_(prefix_ + "/+/" + gatewayId_ + "/+/config") {
    for (const PointConfig& point : config.points) {
        if (point.mqttTopic.empty()) continue;
        configs_.push_back(DiscoveryConfigOf(config, point));
        current_.insert(configs_.back().topic);
    }
}

void Discovery::Seen(const std::string& topic, std::size_t payloadSize) {
    // An empty payload is no config; and only what this gateway could have
    // published is touched, whatever the broker sends.
    if (payloadSize == 0 || current_.contains(topic)) return;
    const std::vector<std::string> levels = Levels(topic);
    if (levels.size() != 5 || levels[0] != prefix_ || !IsId(levels[1]) || levels[2] != gatewayId_ ||
        !IsId(levels[3]) || levels[4] != "config") {
        return;
    }
    bool warn = false;
    {
        std::lock_guard lock(mutex_);
        if (queued_.contains(topic)) return;
        if (stale_.size() >= kMaxStale) {
            warn = !std::exchange(overflowing_, true);
        } else {
            stale_.push_back(topic);
            queued_.insert(topic);
        }
    }
    if (warn) {
        Log(LogLevel::kWarning, "mqtt: more than " + std::to_string(kMaxStale) +
                                    " stale discovery configs at once under \"" + gatewayId_ +
                                    "\": the rest are cleared after a later connection");
    }
}

void Discovery::Restart() { next_ = 0; }

int Discovery::Publish(int room, const Publisher& publish) {
    for (; room > 0 && next_ < configs_.size(); --room, ++next_) {
        if (!publish(configs_[next_].topic, configs_[next_].payload)) return 0;
    }
    while (room > 0) {
        std::string topic;
        {
            std::lock_guard lock(mutex_);
            if (stale_.empty()) break;
            topic = stale_.front();
        }
        // Kept queued when refused: the link is between connections.
        if (!publish(topic, "")) return 0;
        --room;
        {
            std::lock_guard lock(mutex_);
            stale_.pop_front();
            queued_.erase(topic);
            if (stale_.empty()) overflowing_ = false;
        }
        Log(LogLevel::kInfo, "mqtt: cleared the discovery config of a point no longer configured: \"" + topic + "\"");
    }
    return room;
}

}  // namespace jwgate
