// jwgate with a real mosquitto broker started by the test on a free port:
// values as JSON with quality and time, the retained status with its last
// will, counters, and writes through "<topic>/set" reaching the simulator's
// memory through its write protection; more points than the link queues at
// once, all retained, and again after the broker restarts empty.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "jwgate/topic_watcher.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::string Configuration(const std::string& port, int broker) {
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 50\n"
           "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\nkeepalive_s = 5\n"
           "publish_period_s = 1\nreconnect_max_s = 2\n"
           "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 50\n"
           "mqtt_topic = \"jw/level\"\n"
           "[[point]]\nname = \"setpoint\"\naddress = \"01MA0102\"\ntype = \"i16\"\ninterval_ms = 50\n"
           "writable = true\nmqtt_topic = \"jw/setpoint\"\n"
           "[[point]]\nname = \"pump\"\naddress = \"01R00010\"\ntype = \"relay\"\ninterval_ms = 50\n"
           "writable = true\nmqtt_topic = \"jw/pump\"\n";
}

// "2026-12-07T13:45:12.345Z": digits where the pattern has 'd'.
bool IsIsoUtc(const std::string& text) {
    const std::string pattern = "dddd-dd-ddTdd:dd:dd.dddZ";
    if (text.size() != pattern.size()) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == 'd' ? !digit : text[i] != pattern[i]) return false;
    }
    return true;
}

// A value payload with this value, good, and a time in ISO 8601 UTC.
std::function<bool(const std::string&)> GoodValue(double value) {
    return [value](const std::string& payload) {
        const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
        return json.is_object() && json["value"].is_number() && json["value"].get<double>() == value &&
               json["quality"] == "good" && json["timestamp"].is_string() &&
               IsIsoUtc(json["timestamp"].get<std::string>());
    };
}

// Polls the simulator until check holds; false after kPatience.
bool WaitForMemory(kel::jwsim::Simulator& simulator, const std::function<bool(const kel::jwsim::Controller&)>& check) {
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (!check(simulator.Snapshot(1))) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
}

TEST(GatewayMqtt, ValuesStatusCountersWritesAndTheLastWill) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .protect = true, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x34, 0x12}); });
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());

    auto gateway = std::make_unique<GatewayProcess>(Configuration(simulator.portName(), broker.port()));
    ASSERT_TRUE(watcher.WaitFor("jw/status", "online")) << gateway->Log();
    EXPECT_TRUE(watcher.WaitUntil("jw/level", GoodValue(0x1234))) << gateway->Log();
    {
        TopicWatcher late(broker.port());
        ASSERT_TRUE(late.ready());
        EXPECT_TRUE(late.WaitFor("jw/status", "online", TopicWatcher::Retained::kYes));
        EXPECT_TRUE(late.WaitUntil("jw/level", GoodValue(0x1234)));
    }

    ASSERT_TRUE(watcher.Publish("jw/setpoint/set", "-42", false));
    ASSERT_TRUE(watcher.Publish("jw/pump/set", "{\"value\": 1}", false));
    EXPECT_TRUE(WaitForMemory(simulator, [](const kel::jwsim::Controller& c) {
        return (c.Register('A', 0102) | c.Register('A', 0103) << 8) == 0xFFD6 && c.Relay(010) == '1';
    }));
    EXPECT_TRUE(watcher.WaitUntil("jw/setpoint", GoodValue(-42)));
    EXPECT_TRUE(watcher.WaitUntil("jw/pump", GoodValue(1)));
    // Refused whole, not cut at the NUL and written as 5: once the write to
    // the pump after it is in memory, a write of 5 would be too.
    ASSERT_TRUE(watcher.Publish("jw/setpoint/set", std::string("5\0garbage", 9), false));
    ASSERT_TRUE(watcher.Publish("jw/pump/set", "false", false));
    EXPECT_TRUE(gateway->WaitForLog("write request with a NUL byte on \"jw/setpoint/set\"", milliseconds(10000)));
    EXPECT_TRUE(WaitForMemory(simulator, [](const kel::jwsim::Controller& c) { return c.Relay(010) == '0'; }));
    EXPECT_EQ(simulator.Snapshot(1).Register('A', 0102), 0xD6);
    // Refused, with nothing sent: not a number, out of range, not writable.
    ASSERT_TRUE(watcher.Publish("jw/setpoint/set", "forty", false));
    ASSERT_TRUE(watcher.Publish("jw/setpoint/set", "40000", false));
    ASSERT_TRUE(watcher.Publish("jw/level/set", "1", false));
    EXPECT_TRUE(gateway->WaitForLog("jw/level/set: level is not writable", milliseconds(10000)));
    EXPECT_NE(gateway->Log().find("jw/setpoint/set: 40000 is not a i16"), std::string::npos);
    EXPECT_EQ(simulator.Snapshot(1).Register('A', 0100), 0x34);

    EXPECT_TRUE(watcher.WaitUntil("jw/status/counters", [](const std::string& payload) {
        const nlohmann::json json = nlohmann::json::parse(payload, nullptr, false);
        return json.is_object() && json["exchanges"].is_number() && json["exchanges"].get<int>() > 0;
    }));
    EXPECT_EQ(gateway->Stop(SIGTERM, milliseconds(10000)), 0);
    EXPECT_TRUE(watcher.WaitFor("jw/status", "offline"));
    EXPECT_NE(gateway->Log().find("counters: exchanges"), std::string::npos);

    // A gateway that dies without a word leaves its last will.
    gateway = std::make_unique<GatewayProcess>(Configuration(simulator.portName(), broker.port()));
    ASSERT_TRUE(watcher.WaitFor("jw/status", "online")) << gateway->Log();
    EXPECT_EQ(gateway->Stop(SIGKILL, milliseconds(10000)), 128 + SIGKILL);
    EXPECT_TRUE(watcher.WaitFor("jw/status", "offline"));
}

// More points than the MQTT link queues at once (1,000), all on the four
// registers 01MA0100 to 0107, each with its own topic. With a period of an
// hour, a value goes out again only on a change or a new connection.
constexpr std::size_t kManyPoints = 1200;

std::string ManyPointsConfiguration(const std::string& port, int broker) {
    std::string text = "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 50\n"
                       "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\nkeepalive_s = 5\n"
                       "publish_period_s = 3600\nreconnect_max_s = 2\n";
    for (std::size_t i = 0; i < kManyPoints; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", static_cast<unsigned>(0100 + 2 * (i % 4)));
        text += "[[point]]\nname = \"p" + std::to_string(i) + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\nmqtt_topic = \"jw/many/" + std::to_string(i) + "\"\n";
    }
    return text;
}

// Point i reads register i % 4, which holds 1000 + i % 4.
bool ManyPointsValue(const std::string& topic, const std::string& payload) {
    // A value that was in flight when the broker went comes again on the point's replay topic.
    if (topic.ends_with("/replay")) return false;
    const int point = std::atoi(topic.c_str() + std::strlen("jw/many/"));
    return GoodValue(1000 + point % 4)(payload);
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(GatewayMqtt, EveryValueOfManyPointsIsRetainedAndAgainAfterTheBrokerRestartsEmpty) {
    using Retained = TopicWatcher::Retained;
    // Values are retained at QoS 1, and the watchers subscribe at QoS 1: the
    // broker hands a new subscriber its retained messages through the
    // client's queue, 1,000 by default, so a plant with more points raises it.
    BrokerProcess broker(BrokerProcess::FreePort(), "allow_anonymous true\nmax_queued_messages 5000\n");
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Edit(1, [](kel::jwsim::Controller& c) {
        c.SetRegisters('A', 0100, {0xE8, 0x03, 0xE9, 0x03, 0xEA, 0x03, 0xEB, 0x03});
    });
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    const auto started = std::chrono::steady_clock::now();
    GatewayProcess gateway(ManyPointsConfiguration(simulator.portName(), broker.port()));
    const std::size_t out =
        watcher.WaitForTopics("jw/many/", kManyPoints, Retained::kAny, ManyPointsValue, seconds(30));
    std::printf("%zu of %zu values out %.2f s after the gateway started\n", out, kManyPoints, SecondsSince(started));
    EXPECT_EQ(out, kManyPoints) << gateway.Log();
    TopicWatcher late(broker.port());
    EXPECT_EQ(late.WaitForTopics("jw/many/", kManyPoints, Retained::kYes, ManyPointsValue), kManyPoints);

    // The same port, without persistence: the broker comes back with no
    // retained value, and nothing has changed on the controller.
    broker.Kill();
    ASSERT_TRUE(broker.Start()) << broker.error();
    const auto restarted = std::chrono::steady_clock::now();
    TopicWatcher again(broker.port());
    ASSERT_TRUE(again.ready());
    const std::size_t back =
        again.WaitForTopics("jw/many/", kManyPoints, Retained::kAny, ManyPointsValue, seconds(15));
    std::printf("%zu of %zu values back %.2f s after the broker restarted\n", back, kManyPoints,
                SecondsSince(restarted));
    EXPECT_EQ(back, kManyPoints) << gateway.Log();
    TopicWatcher lateAgain(broker.port());
    EXPECT_EQ(lateAgain.WaitForTopics("jw/many/", kManyPoints, Retained::kYes, ManyPointsValue), kManyPoints);
    EXPECT_EQ(gateway.Log().find("dropping MQTT publishes"), std::string::npos) << gateway.Log();
}

}  // namespace
}  // namespace jwgate::test
