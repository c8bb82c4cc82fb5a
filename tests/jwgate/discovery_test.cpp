// Home Assistant discovery without a broker, where a broker cannot show it:
// a broken byte in a config's text, a publish refused for want of room, and
// the bound on stale configs waiting to be cleared. Ids, fields and clearing
// are tested against a real broker (mqtt_discovery_test.cpp).
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

#include "tools/jwgate/mqtt/discovery.h"
#include "tools/jwgate/core/log.h"

namespace jwgate {
namespace {

GatewayConfig TwoPoints() {
    GatewayConfig config;
    config.line.port = "ttyUSB0";
    config.mqtt.enabled = true;
    config.mqtt.clientId = "gw";
    config.mqtt.statusTopic = "jw/status";
    config.mqtt.discoveryPrefix = "ha";
    PointConfig level;
    level.name = "level";
    level.type = ValueType::kU16;
    level.mqttTopic = "jw/level";
    PointConfig pump;
    pump.name = "pump";
    pump.type = ValueType::kRelay;
    pump.writable = true;
    pump.mqttTopic = "jw/pump";
    PointConfig unpublished;
    unpublished.name = "quiet";
    config.points = {level, pump, unpublished};
    return config;
}

// What Publish handed on, refusing after limit messages.
struct Sent {
    std::vector<std::pair<std::string, std::string>> messages;
    std::size_t limit = SIZE_MAX;
    Discovery::Publisher Publisher() {
        return [this](const std::string& topic, const std::string& payload) {
            if (messages.size() >= limit) return false;
            messages.emplace_back(topic, payload);
            return true;
        };
    }
};

TEST(Discovery, AConfigIsJsonEvenWithABrokenByteInItsText) {
    GatewayConfig config = TwoPoints();
    config.line.port = "tty\xFF";
    const DiscoveryMessage message = DiscoveryConfigOf(config, config.points[0]);
    EXPECT_EQ(message.topic, "ha/sensor/gw/level/config");
    EXPECT_NE(message.payload.find("\"jwgate gw on tty\xEF\xBF\xBD\""), std::string::npos) << message.payload;
}

TEST(Discovery, ARefusedPublishStaysDue) {
    Discovery discovery(TwoPoints());
    discovery.Seen("ha/sensor/gw/old/config", 10);
    Sent sent;
    sent.limit = 1;
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 0);
    EXPECT_FALSE(discovery.ConfigsOut());
    sent.limit = 2;
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 0);
    EXPECT_TRUE(discovery.ConfigsOut());
    sent.limit = 3;
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 9);
    ASSERT_EQ(sent.messages.size(), 3u);
    EXPECT_EQ(sent.messages[2].first, "ha/sensor/gw/old/config");
}

TEST(Discovery, AtMostTheBoundOfStaleConfigsWaitAndTheRestIsLogged) {
    std::mutex mutex;
    std::vector<std::string> warnings;
    SetLogLevel(LogLevel::kWarning);  // not a line for each of the clears
    SetLogCapture([&](LogLevel level, const std::string& text) {
        std::lock_guard lock(mutex);
        if (level == LogLevel::kWarning) warnings.push_back(text);
    });
    Discovery discovery(TwoPoints());
    const std::size_t extra = 5;
    for (std::size_t i = 0; i < Discovery::kMaxStale + extra; ++i) {
        discovery.Seen("ha/sensor/gw/old" + std::to_string(i) + "/config", 10);
    }
    Sent sent;
    EXPECT_EQ(discovery.Publish(5000, sent.Publisher()), static_cast<int>(5000 - 2 - Discovery::kMaxStale));
    EXPECT_EQ(sent.messages.size(), 2 + Discovery::kMaxStale);
    EXPECT_EQ(sent.messages.back().first, "ha/sensor/gw/old" + std::to_string(Discovery::kMaxStale - 1) + "/config");
    // The broker sends what is left at the next connection.
    discovery.Restart();
    for (std::size_t i = Discovery::kMaxStale; i < Discovery::kMaxStale + extra; ++i) {
        discovery.Seen("ha/sensor/gw/old" + std::to_string(i) + "/config", 10);
    }
    sent.messages.clear();
    EXPECT_EQ(discovery.Publish(5000, sent.Publisher()), static_cast<int>(5000 - 2 - extra));
    SetLogCapture({});
    SetLogLevel(LogLevel::kInfo);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("more than 1000 stale discovery configs"), std::string::npos) << warnings[0];
}

}  // namespace
}  // namespace jwgate
