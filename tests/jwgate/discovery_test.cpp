// Home Assistant discovery without a broker: ids that stay apart and stay
// the same from one build to the next, and which retained configs are
// cleared: only this gateway's stale ones, each once, configs first, no more
// than the room given, and no more than the bound at once.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "tools/jwgate/discovery.h"
#include "tools/jwgate/log.h"

namespace jwgate {
namespace {

bool OnlyIdBytes(const std::string& id) {
    for (const char c : id) {
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && !(c >= '0' && c <= '9') && c != '_' && c != '-') return false;
    }
    return !id.empty();
}

TEST(Discovery, IdsKeepCleanTextAndTellChangedTextApartStably) {
    // The ids name entities in Home Assistant: they must come out the same
    // from every build, hence the hashes written out here.
    const std::pair<std::string, std::string> cases[] = {
        {"line-1", "line-1"},
        {"Tank_Level-2", "Tank_Level-2"},
        {"a.b", "a_b_108bf50c"},
        {"jw/status", "jw_status_ffa2be75"},
        {"", "_811c9dc5"},
    };
    for (const auto& [text, id] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(DiscoveryId(text), id);
    }
    const std::string awkward[] = {"a_b", "a.b", "a b", "a/b", "a+b", "a#b", "\xC3\xA4", "x\ny"};
    std::vector<std::string> ids;
    for (const std::string& text : awkward) {
        ids.push_back(DiscoveryId(text));
        EXPECT_TRUE(OnlyIdBytes(ids.back())) << ids.back();
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        for (std::size_t j = i + 1; j < ids.size(); ++j) EXPECT_NE(ids[i], ids[j]) << awkward[i] << " " << awkward[j];
    }

    MqttConfig mqtt;
    mqtt.statusTopic = "jw/status";
    EXPECT_EQ(DiscoveryGatewayId(mqtt), "jw_status_ffa2be75");
    mqtt.clientId = "line-1";
    EXPECT_EQ(DiscoveryGatewayId(mqtt), "line-1");
}

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

TEST(Discovery, ClearsOnlyThisGatewaysStaleConfigsOnceAfterTheCurrentOnes) {
    Discovery discovery(TwoPoints());
    EXPECT_EQ(discovery.Filter(), "ha/+/gw/+/config");
    ASSERT_EQ(discovery.Configs().size(), 2u);
    EXPECT_EQ(discovery.Configs()[0].topic, "ha/sensor/gw/level/config");
    EXPECT_EQ(discovery.Configs()[1].topic, "ha/switch/gw/pump/config");

    const std::pair<std::string, std::size_t> retained[] = {
        {"ha/sensor/gw/level/config", 300},         // current
        {"ha/binary_sensor/gw/pump/config", 300},   // the pump before it was writable
        {"ha/sensor/gw/old/config", 300},           // a point removed
        {"ha/sensor/gw/old/config", 300},           // the same again
        {"ha/sensor/gw/gone/config", 0},            // no config
        {"ha/sensor/gw2/old/config", 300},          // another gateway's
        {"ha/sensor/gw/old/state", 300},            // not a config
        {"hb/sensor/gw/old/config", 300},           // another prefix
        {"ha/sensor/gw/x/y/config", 300},           // deeper
        {"ha/sensor/gw/a.b/config", 300},           // not a level this gateway publishes
    };
    for (const auto& [topic, size] : retained) discovery.Seen(topic, size);

    Sent sent;
    EXPECT_EQ(discovery.Publish(1, sent.Publisher()), 0);
    EXPECT_FALSE(discovery.ConfigsOut());
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 10 - 3);
    EXPECT_TRUE(discovery.ConfigsOut());
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"ha/sensor/gw/level/config", discovery.Configs()[0].payload},
        {"ha/switch/gw/pump/config", discovery.Configs()[1].payload},
        {"ha/binary_sensor/gw/pump/config", ""},
        {"ha/sensor/gw/old/config", ""},
    };
    EXPECT_EQ(sent.messages, expected);

    // Cleared once; seen again on a later connection (a clear that was lost),
    // cleared again; the configs go out again first.
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 10);
    discovery.Restart();
    discovery.Seen("ha/sensor/gw/old/config", 300);
    sent.messages.clear();
    EXPECT_EQ(discovery.Publish(10, sent.Publisher()), 7);
    ASSERT_EQ(sent.messages.size(), 3u);
    EXPECT_EQ(sent.messages[2], std::make_pair(std::string("ha/sensor/gw/old/config"), std::string()));
}

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
