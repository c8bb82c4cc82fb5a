// What a point's value means on MQTT, with a real broker and the simulator
// paced at the line's rate: scaled values read and written (checked raw in
// the controller's memory), publishing on a change of at least the deadband
// or after every read, and a silent station whose points turn bad, never 0,
// and unavailable to Home Assistant while the other station's stay.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <bit>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "jwgate/topic_watcher.h"
#include "jwgate/value_template.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using nlohmann::json;
using std::chrono::milliseconds;

std::string Lines(const std::string& port, int broker, const std::string& mqttExtra = "") {
    // A timeout that a busy machine does not turn into failed reads.
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 300\n"
           "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\nkeepalive_s = 5\n"
           "publish_period_s = 3600\nreconnect_max_s = 2\n" + mqttExtra;
}

std::string PointText(const std::string& name, const std::string& address, const std::string& type,
                      const std::string& extra) {
    return "[[point]]\nname = \"" + name + "\"\naddress = \"" + address + "\"\ntype = \"" + type +
           "\"\nmqtt_topic = \"jw/" + name + "\"\n" + extra;
}

json Parsed(const std::string& payload) { return json::parse(payload, nullptr, false); }

std::function<bool(const std::string&)> Good(double value) {
    return [value](const std::string& payload) {
        const json parsed = Parsed(payload);
        return parsed.is_object() && parsed["quality"] == "good" && parsed["value"].is_number() &&
               parsed["value"].get<double>() == value;
    };
}

// The raw bytes at a register address of station 1, least significant first.
std::uint32_t RawAt(kel::jwsim::Simulator& simulator, int address, int bytes) {
    const kel::jwsim::Controller controller = simulator.Snapshot(1);
    std::uint32_t raw = 0;
    for (int i = bytes - 1; i >= 0; --i) raw = raw << 8 | controller.Register('A', address + i);
    return raw;
}

std::vector<std::uint8_t> Bytes(std::uint32_t raw, int bytes) {
    std::vector<std::uint8_t> out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<std::uint8_t>(raw >> (8 * i)));
    return out;
}

// The requests on the line whose text starts with start at position at
// ("01" at 0: to station 01; "WRG" at 4: a write).
std::size_t RequestsOnTheLine(const kel::jwsim::Simulator& simulator, std::size_t at, const char* start) {
    std::size_t count = 0;
    for (const auto& request : simulator.Requests()) count += request.payload.compare(at, std::strlen(start), start) == 0;
    return count;
}

struct ScalingCase {
    const char* name;
    const char* type;
    int address;  // MA, octal
    int bytes;
    const char* keys;
    std::uint32_t raw;     // in the controller
    double shown;          // published for raw
    const char* written;   // to <topic>/set
    std::uint32_t rawAfter;
};

// 22.35 is 223.5 raw: a half, away from zero, though the division leaves it a hair short.
const ScalingCase kScaling[] = {
    {"temp", "u16", 0100, 2, "scale = 0.1\nprecision = 1\nunit = \"°C\"\n", 215, 21.5, "22.35", 224},
    {"trim", "i16", 0102, 2, "offset = -100\n", 0xFFFB, -105, "-32868.4", 0x8000},
    {"energy", "i32", 0104, 4, "scale = -0.5\n", 1001, -500.5, "1073741823.5", 0x80000001},
    {"flow", "float", 0110, 4, "scale = 2\noffset = 1\n", std::bit_cast<std::uint32_t>(1.25f), 3.5, "10", std::bit_cast<std::uint32_t>(4.5f)},
};

TEST(GatewayValues, ScaledValuesAreReadAndWrittenAndOutOfRangeWritesNeverReachTheLine) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    std::string text = Lines(simulator.portName(), broker.port());
    for (const ScalingCase& row : kScaling) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", static_cast<unsigned>(row.address));
        text += PointText(row.name, address, row.type, std::string("writable = true\ninterval_ms = 100\n") + row.keys);
        simulator.Edit(1, [&](kel::jwsim::Controller& c) { c.SetRegisters('A', row.address, Bytes(row.raw, row.bytes)); });
    }
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    GatewayProcess gateway(text);
    for (const ScalingCase& row : kScaling) {
        SCOPED_TRACE(row.name);
        EXPECT_TRUE(watcher.WaitUntil(std::string("jw/") + row.name, Good(row.shown))) << gateway.Log();
        ASSERT_TRUE(watcher.Publish(std::string("jw/") + row.name + "/set", row.written, false));
        EXPECT_TRUE(watcher.WaitUntil(std::string("jw/") + row.name, [&](const std::string&) {
            return RawAt(simulator, row.address, row.bytes) == row.rawAfter;
        })) << std::hex << RawAt(simulator, row.address, row.bytes);
    }
    const auto temp = watcher.WaitUntil("jw/temp", Good(22.4));
    ASSERT_TRUE(temp);
    EXPECT_EQ(Parsed(*temp)["unit"], "°C");

    // 6553.6 °C is raw 65536, -0.06 °C raw -1: refused, not clipped, and
    // nothing sent; the write after them is, alone.
    simulator.ClearRequests();
    ASSERT_TRUE(watcher.Publish("jw/temp/set", "6553.6", false));
    ASSERT_TRUE(watcher.Publish("jw/temp/set", "-0.06", false));
    ASSERT_TRUE(watcher.Publish("jw/trim/set", "0", false));
    EXPECT_TRUE(watcher.WaitUntil("jw/trim", Good(0))) << gateway.Log();
    EXPECT_EQ(RequestsOnTheLine(simulator, 4, "WRG"), 1u);
    EXPECT_EQ(RawAt(simulator, 0100, 2), 224u);
    EXPECT_NE(gateway.Log().find("jw/temp/set: 6553.6 makes raw 65536, not a u16 (raw 0 to 65535)"), std::string::npos)
        << gateway.Log();
}

// Every payload published on topic, parsed.
std::vector<json> PayloadsOn(TopicWatcher& watcher, const std::string& topic) {
    std::vector<json> payloads;
    for (const auto& message : watcher.Messages()) {
        if (message.topic == topic) payloads.push_back(Parsed(message.payload));
    }
    return payloads;
}

TEST(GatewayValues, AChangeIsPublishedWhenItPassesTheDeadbandAndEveryReadOnesAfterEachRead) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1, 2}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    const auto set = [&](std::uint16_t raw) {
        simulator.Edit(1, [&](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, Bytes(raw, 2)); });
    };
    set(1000);
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    // Stale after two intervals: long enough that a busy machine does not
    // make a quality change of its own.
    GatewayProcess gateway(Lines(simulator.portName(), broker.port(), "deadband = 1\n") +
                           PointText("tank", "01MA0100", "u16", "scale = 0.1\ninterval_ms = 1000\n") +
                           PointText("tick", "02MA0100", "u16", "publish = \"every_read\"\ninterval_ms = 300\n"));
    ASSERT_TRUE(watcher.WaitUntil("jw/tank", Good(100))) << gateway.Log();
    ASSERT_TRUE(watcher.WaitUntil("jw/tick", Good(0))) << gateway.Log();
    const std::size_t ticksBefore = PayloadsOn(watcher, "jw/tick").size();
    const std::size_t readsBefore = RequestsOnTheLine(simulator, 0, "02");

    // 100.5 and 100.9 are within 1 of 100; 101 is not; 100.1 is within 1
    // of 101, 100 is not.
    for (const std::uint16_t raw : {1005, 1009, 1010, 1001, 1000, 1100}) {
        set(raw);
        std::this_thread::sleep_for(milliseconds(2200));
    }
    const std::size_t ticks = PayloadsOn(watcher, "jw/tick").size() - ticksBefore;
    const std::size_t reads = RequestsOnTheLine(simulator, 0, "02") - readsBefore;
    simulator.Silence(1, true);
    EXPECT_TRUE(watcher.WaitUntil("jw/tank", [](const std::string& payload) { return Parsed(payload)["quality"] == "bad"; }));
    simulator.Silence(1, false);
    EXPECT_TRUE(watcher.WaitUntil("jw/tank", Good(110))) << gateway.Log();

    // From the first good read on; a failing read may be seen stale (too
    // old) before it is bad, which is a change of quality too.
    std::vector<std::string> published;
    for (const json& payload : PayloadsOn(watcher, "jw/tank")) {
        if (payload["value"].is_null()) continue;
        published.push_back(payload["value"].dump() + " " + payload["quality"].get<std::string>());
        if (published.back() == "110.0 bad" && published.size() > 1 && published[published.size() - 2] == "110.0 stale") {
            published.erase(published.end() - 2);
        }
    }
    EXPECT_EQ(published, (std::vector<std::string> {"100.0 good", "101.0 good", "100.0 good", "110.0 good",
                                                    "110.0 bad", "110.0 good"}));
    // The unchanged value went out after each read: about 44 in 13.2 s, no
    // more than the requests (retries among them), give or take the read at
    // either end of the count.
    std::printf("every_read: %zu message(s) for %zu request(s) of an unchanged value\n", ticks, reads);
    EXPECT_GE(ticks, 30u);
    EXPECT_LE(ticks, reads + 2);
}

// Home Assistant's view: every availability topic's last message is online.
bool Available(const std::vector<TopicWatcher::Message>& messages, const json& config) {
    std::map<std::string, std::string> last;
    for (const auto& message : messages) last[message.topic] = message.payload;
    for (const json& entry : config["availability"]) {
        if (last[entry["topic"].get<std::string>()] != entry["payload_available"]) return false;
    }
    return config["availability_mode"] == "all" && config["availability"].size() == 2;
}

TEST(GatewayValues, ASilentStationsPointsTurnBadUnknownAndUnavailableWhileTheOthersStay) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1, 2}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {7, 0}); });
    simulator.Edit(2, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {9, 0}); });
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    GatewayProcess gateway(Lines(simulator.portName(), broker.port(), "client_id = \"line-1\"\ndiscovery_prefix = \"ha\"\n") +
                           "[http]\nport = 0\n" +
                           PointText("one", "01MA0100", "u16", "scale = 0.5\nunit = \"kWh\"\ninterval_ms = 200\n") +
                           PointText("two", "02MA0100", "u16", "interval_ms = 200\n"));
    const auto one = watcher.WaitUntil("jw/one", Good(3.5));
    ASSERT_TRUE(one) << gateway.Log();
    ASSERT_TRUE(watcher.WaitUntil("jw/two", Good(9))) << gateway.Log();
    const auto configOne = watcher.WaitUntil("ha/sensor/line-1/one/config", [](const std::string&) { return true; });
    const auto configTwo = watcher.WaitUntil("ha/sensor/line-1/two/config", [](const std::string&) { return true; });
    ASSERT_TRUE(configOne && configTwo);
    EXPECT_EQ(Parsed(*configOne)["unit_of_measurement"], "kWh");
    ASSERT_TRUE(watcher.WaitUntil([&](const auto& messages) { return Available(messages, Parsed(*configTwo)); }));

    simulator.Silence(2, true);
    const auto bad = watcher.WaitUntil("jw/two", [](const std::string& payload) { return Parsed(payload)["quality"] == "bad"; });
    ASSERT_TRUE(bad) << gateway.Log();
    EXPECT_EQ(Parsed(*bad)["value"], 9);  // the last good one, marked bad
    EXPECT_TRUE(watcher.WaitFor("jw/status/station/02", "offline"));
    EXPECT_FALSE(Available(watcher.Messages(), Parsed(*configTwo)));
    EXPECT_TRUE(Available(watcher.Messages(), Parsed(*configOne)));
    EXPECT_EQ(RenderedValueTemplate(Parsed(*configTwo)["value_template"], *bad), "None");  // Home Assistant's unknown
    EXPECT_EQ(RenderedValueTemplate(Parsed(*configOne)["value_template"], *one), "3.5");

    // /metrics leaves out the value it cannot vouch for, and says why.
    // Polled: a reply late for an attempt before the silence may still count
    // as an answer, for a moment; and each of the silent station's timeouts
    // (300 ms) holds up the line longer than "one" stays fresh (two
    // intervals), so "one" is stale now and then, its value left out too.
    httplib::Client client("127.0.0.1", gateway.HttpPort(milliseconds(10000)));
    const std::string oneValue = "jwgate_point_value{point=\"one\",address=\"01MA0100\"} 3.5\n";
    const std::string twoDown = "jwgate_station_up{station=\"02\"} 0\n";
    auto metrics = client.Get("/metrics");
    const auto until = std::chrono::steady_clock::now() + kPatience;
    while (metrics &&
           (metrics->body.find(twoDown) == std::string::npos || metrics->body.find(oneValue) == std::string::npos) &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(100));
        metrics = client.Get("/metrics");
    }
    ASSERT_TRUE(metrics);
    EXPECT_NE(metrics->body.find(oneValue), std::string::npos) << metrics->body;
    EXPECT_EQ(metrics->body.find("jwgate_point_value{point=\"two\""), std::string::npos) << metrics->body;
    EXPECT_NE(metrics->body.find("jwgate_point_quality{point=\"two\",address=\"02MA0100\"} 0\n"), std::string::npos);
    EXPECT_NE(metrics->body.find(twoDown), std::string::npos) << metrics->body;

    // The status page's data: the scaled value and its unit.
    const auto page = client.Get("/api/points");
    ASSERT_TRUE(page);
    const json points = Parsed(page->body)["points"];
    ASSERT_TRUE(points.is_array() && points.size() == 2) << page->body;
    EXPECT_EQ(points[0]["value"], 3.5);
    EXPECT_EQ(points[0]["unit"], "kWh");

    for (const std::string topic : {"jw/one", "jw/two"}) {
        for (const json& payload : PayloadsOn(watcher, topic)) EXPECT_NE(payload["value"], 0) << topic;
    }
}

}  // namespace
}  // namespace jwgate::test
