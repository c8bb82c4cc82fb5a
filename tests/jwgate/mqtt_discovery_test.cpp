// Home Assistant discovery with a real mosquitto broker: the retained
// configs a subscriber reads, checked against the fields Home Assistant
// takes for each component, their command topics and bounds exercised on the
// simulator, sent before the values and again after the broker restarts
// empty; and the config of a point removed between two runs cleared, while
// other gateways' configs stay.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "jwgate/topic_watcher.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using nlohmann::json;

// Every message on every topic, in the order the broker sent them.
using Recorder = TopicWatcher;

bool IsConfigTopic(const std::string& topic) {
    return topic.starts_with("ha/") && topic.ends_with("/config");
}

// The last payload of each discovery config topic, empty ones included.
std::map<std::string, std::string> LastConfigs(const std::vector<Recorder::Message>& messages) {
    std::map<std::string, std::string> last;
    for (const auto& message : messages) {
        if (IsConfigTopic(message.topic)) last[message.topic] = message.payload;
    }
    return last;
}

std::size_t NonEmpty(const std::map<std::string, std::string>& configs) {
    std::size_t count = 0;
    for (const auto& [topic, payload] : configs) count += payload.empty() ? 0 : 1;
    return count;
}

// The last value payload on topic is good and the value template renders
// its value as text.
Recorder::Check ValueRendersAs(const std::string& topic, const std::string& text) {
    return [=](const std::vector<Recorder::Message>& messages) {
        for (auto at = messages.rbegin(); at != messages.rend(); ++at) {
            if (at->topic != topic) continue;
            const json value = json::parse(at->payload, nullptr, false);
            return value.is_object() && value["quality"] == "good" && value["value"].is_number() &&
                   value["value"].dump() == text;
        }
        return false;
    };
}

struct PointCase {
    const char* name;
    const char* address;
    const char* type;
    bool writable;
    const char* component;
    double min;  // for a number
    double max;
};

constexpr double kFloatMax = 3.4028234663852886e38;

const PointCase kPoints[] = {
    {"level", "01MA0100", "u16", false, "sensor", 0, 0},
    {"setpoint", "01MA0102", "i16", true, "number", -32768, 32767},
    {"speed", "01MB0010B", "u8", true, "number", 0, 255},
    {"trim", "01MB0011B", "i8", true, "number", -128, 127},
    {"total", "01MA0110", "u32", true, "number", 0, 4294967295.0},
    {"offset", "01MA0114", "i32", true, "number", -2147483648.0, 2147483647},
    {"flow", "01MA0104", "float", true, "number", -kFloatMax, kFloatMax},
    {"pump", "01R00010", "relay", true, "switch", 0, 0},
    {"alarm", "01R00017", "relay", false, "binary_sensor", 0, 0},
};

std::string Lines(const std::string& port, int broker, const std::string& mqttExtra) {
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 50\n"
           "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\nkeepalive_s = 5\n"
           "reconnect_max_s = 2\ndiscovery_prefix = \"ha\"\n" + mqttExtra;
}

std::string PointText(const std::string& name, const std::string& address, const std::string& type, bool writable,
                      bool topic = true) {
    return "[[point]]\nname = \"" + name + "\"\naddress = \"" + address + "\"\ntype = \"" + type +
           "\"\ninterval_ms = 50\nwritable = " + (writable ? "true" : "false") + "\n" +
           (topic ? "mqtt_topic = \"jw/" + name + "\"\n" : "");
}

std::string ShowNumber(double number) {
    char text[40];
    std::snprintf(text, sizeof text, "%.17g", number);
    return text;
}

TEST(GatewayDiscovery, ConfigsDescribeEachPointComeBeforeItsValuesAndDriveTheGateway) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    Recorder recorder(broker.port());
    ASSERT_TRUE(recorder.ready());

    std::string text = Lines(simulator.portName(), broker.port(), "client_id = \"line-1\"\n");
    for (const PointCase& point : kPoints) text += PointText(point.name, point.address, point.type, point.writable);
    text += PointText("quiet", "01MA0120", "u16", false, false);
    GatewayProcess gateway(text);

    const std::size_t count = std::size(kPoints);
    ASSERT_TRUE(recorder.WaitUntil([&](const std::vector<Recorder::Message>& messages) {
        return NonEmpty(LastConfigs(messages)) >= count;
    })) << gateway.Log();
    ASSERT_TRUE(recorder.WaitUntil(ValueRendersAs("jw/level", "0"))) << gateway.Log();

    // Every config before the first value: the broker passes one client's
    // messages on in the order it sent them.
    const std::vector<Recorder::Message> messages = recorder.Messages();
    std::size_t lastConfig = 0;
    std::size_t firstValue = messages.size();
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (IsConfigTopic(messages[i].topic)) lastConfig = i;
        if (messages[i].topic.starts_with("jw/") && messages[i].topic != "jw/status" && firstValue == messages.size()) {
            firstValue = i;
        }
    }
    EXPECT_LT(lastConfig, firstValue);

    const std::map<std::string, std::string> configs = LastConfigs(messages);
    EXPECT_EQ(configs.size(), count);  // none for the point without a topic
    std::set<std::string> uniqueIds;
    std::map<std::string, json> configOf;
    for (const PointCase& point : kPoints) {
        SCOPED_TRACE(point.name);
        const std::string topic = std::string("ha/") + point.component + "/line-1/" + point.name + "/config";
        const auto found = configs.find(topic);
        ASSERT_NE(found, configs.end()) << topic;
        const json config = json::parse(found->second, nullptr, false);
        ASSERT_TRUE(config.is_object()) << found->second;
        configOf[point.name] = config;
        const std::string state = std::string("jw/") + point.name;
        EXPECT_EQ(config.value("name", ""), point.name);
        EXPECT_EQ(config.value("state_topic", ""), state);
        EXPECT_EQ(config.value("value_template", ""),
                  "{{ value_json.value if value_json.quality == 'good' else None }}");
        // The gateway and the point's station, both online.
        EXPECT_EQ(config["availability"], json::parse(R"([
            {"topic": "jw/status", "payload_available": "online", "payload_not_available": "offline"},
            {"topic": "jw/status/station/01", "payload_available": "online", "payload_not_available": "offline"}])"));
        EXPECT_EQ(config.value("availability_mode", ""), "all");
        if (point.writable) {
            EXPECT_EQ(config.value("command_topic", ""), state + "/set");
        } else {
            EXPECT_FALSE(config.contains("command_topic"));
        }
        uniqueIds.insert(config.value("unique_id", ""));
        EXPECT_EQ(config["device"]["identifiers"], json::array({"line-1"}));
        if (std::string(point.component) == "number") {
            EXPECT_EQ(config["min"].get<double>(), point.min);
            EXPECT_EQ(config["max"].get<double>(), point.max);
            const double step = config["step"].get<double>();
            if (std::string(point.type) == "float") {
                EXPECT_TRUE(step >= 0.001 && step < 1) << step;
            } else {
                EXPECT_EQ(step, 1);
            }
        } else {
            EXPECT_FALSE(config.contains("min"));
        }
    }
    EXPECT_EQ(uniqueIds.size(), count);
    EXPECT_FALSE(uniqueIds.contains(""));

    // What the frontend would send, as the configs say (payload_on/off,
    // state_on/off), reaches the controller, and the value comes back as
    // the template renders it.
    const json& pump = configOf["pump"];
    ASSERT_TRUE(recorder.Publish(pump.value("command_topic", ""), pump.value("payload_on", ""), false));
    EXPECT_TRUE(recorder.WaitUntil(ValueRendersAs("jw/pump", pump.value("state_on", "?")))) << gateway.Log();
    EXPECT_EQ(simulator.Snapshot(1).Relay(010), '1');
    ASSERT_TRUE(recorder.Publish(pump.value("command_topic", ""), pump.value("payload_off", ""), false));
    EXPECT_TRUE(recorder.WaitUntil(ValueRendersAs("jw/pump", pump.value("state_off", "?")))) << gateway.Log();
    // A number's bounds are exactly what the gateway takes: its max is
    // written, one past either end is refused.
    for (const PointCase& point : kPoints) {
        if (std::string(point.component) != "number" || std::string(point.type) == "float") continue;
        SCOPED_TRACE(point.name);
        const json& config = configOf[point.name];
        const std::string command = config.value("command_topic", "");
        for (const double outside : {config["max"].get<double>() + 1, config["min"].get<double>() - 1}) {
            ASSERT_TRUE(recorder.Publish(command, ShowNumber(outside), false));
            EXPECT_TRUE(gateway.WaitForLog(command + ": " + ShowNumber(outside) + " is not a " + point.type,
                                           milliseconds(10000)));
        }
        ASSERT_TRUE(recorder.Publish(command, ShowNumber(point.max), false));
        EXPECT_TRUE(recorder.WaitUntil(ValueRendersAs(std::string("jw/") + point.name, ShowNumber(point.max))))
            << gateway.Log();
    }
    ASSERT_TRUE(recorder.Publish(configOf["flow"].value("command_topic", ""), "1.5", false));
    EXPECT_TRUE(recorder.WaitUntil(ValueRendersAs("jw/flow", "1.5"))) << gateway.Log();

    // A broker restarted without persistence gets every config again.
    broker.Kill();
    ASSERT_TRUE(broker.Start()) << broker.error();
    Recorder again(broker.port());
    ASSERT_TRUE(again.ready());
    EXPECT_TRUE(again.WaitUntil([&](const std::vector<Recorder::Message>& messages) {
        return LastConfigs(messages) == configs;
    })) << gateway.Log();
}

TEST(GatewayDiscovery, APointRemovedBetweenRunsHasItsConfigClearedAndOtherGatewaysKeepTheirs) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    Recorder recorder(broker.port());
    ASSERT_TRUE(recorder.ready());

    // No client id: the gateway's id comes from its status topic, the same
    // at every start.
    const std::string lines = Lines(simulator.portName(), broker.port(), "");
    auto gateway = std::make_unique<GatewayProcess>(lines + PointText("level", "01MA0100", "u16", false) +
                                                    PointText("old", "01MA0102", "u16", false) +
                                                    PointText("valve", "01R00011", "relay", false));
    ASSERT_TRUE(recorder.WaitUntil([](const std::vector<Recorder::Message>& messages) {
        return NonEmpty(LastConfigs(messages)) >= 3;
    })) << gateway->Log();
    std::string id;
    for (const auto& [topic, payload] : LastConfigs(recorder.Messages())) {
        const std::string head = "ha/sensor/";
        const std::string tail = "/level/config";
        if (topic.size() > head.size() + tail.size() && topic.starts_with(head) && topic.ends_with(tail)) {
            id = topic.substr(head.size(), topic.size() - head.size() - tail.size());
        }
    }
    // The status topic made safe, and a hash of it: "jw_status_" and 8 hex digits.
    const std::string stem = "jw_status_";
    EXPECT_TRUE(id.size() == stem.size() + 8 && id.starts_with(stem) &&
                id.find_first_not_of("0123456789abcdef", stem.size()) == std::string::npos)
        << id;
    const std::string old = "ha/sensor/" + id + "/old/config";
    const std::string sensorValve = "ha/binary_sensor/" + id + "/valve/config";
    const std::string switchValve = "ha/switch/" + id + "/valve/config";
    const std::string level = "ha/sensor/" + id + "/level/config";
    const auto first = LastConfigs(recorder.Messages());
    ASSERT_TRUE(first.contains(old) && first.contains(sensorValve)) << gateway->Log();
    EXPECT_EQ(json::parse(first.at(level))["device"]["identifiers"], json::array({id}));
    EXPECT_EQ(gateway->Stop(SIGTERM, milliseconds(10000)), 0);

    // Others' configs: another gateway's under this prefix, and this
    // gateway's id under another prefix.
    const std::string otherGateway = "ha/sensor/other-gw/old/config";
    const std::string otherPrefix = "hb/sensor/" + id + "/old/config";
    ASSERT_TRUE(recorder.Publish(otherGateway, "{\"name\":\"old\"}", true));
    ASSERT_TRUE(recorder.Publish(otherPrefix, "{\"name\":\"old\"}", true));

    // Started again without "old", and the valve writable: a switch now.
    const std::size_t before = recorder.Messages().size();
    gateway = std::make_unique<GatewayProcess>(lines + PointText("level", "01MA0100", "u16", false) +
                                               PointText("valve", "01R00011", "relay", true));
    const auto clearedAfter = [&](const std::string& topic) {
        return [=](const std::vector<Recorder::Message>& messages) {
            for (std::size_t i = before; i < messages.size(); ++i) {
                if (messages[i].topic == topic && messages[i].payload.empty()) return true;
            }
            return false;
        };
    };
    EXPECT_TRUE(recorder.WaitUntil(clearedAfter(old))) << gateway->Log();
    EXPECT_TRUE(recorder.WaitUntil(clearedAfter(sensorValve))) << gateway->Log();
    EXPECT_TRUE(gateway->WaitForLog("cleared the discovery config of a point no longer configured: \"" + old + "\"",
                                    milliseconds(10000)));
    ASSERT_TRUE(recorder.WaitUntil([&](const std::vector<Recorder::Message>& messages) {
        const auto last = LastConfigs(messages);
        return last.contains(switchValve) && !last.at(switchValve).empty();
    })) << gateway->Log();

    // A new subscriber finds the current configs and the others', and
    // nothing of the removed point or of the valve as it was.
    Recorder late(broker.port());
    ASSERT_TRUE(late.ready());
    const auto retained = late.RetainedAtSubscription();
    ASSERT_TRUE(retained);
    std::set<std::string> topics;
    for (const auto& [topic, payload] : *retained) {
        if (topic.starts_with("ha/") || topic.starts_with("hb/")) topics.insert(topic);
    }
    EXPECT_EQ(topics, (std::set<std::string> {level, switchValve, otherGateway, otherPrefix}));
    EXPECT_EQ(gateway->Stop(SIGTERM, milliseconds(10000)), 0);
}

}  // namespace
}  // namespace jwgate::test
