// Every "<topic>/set" gets one answer on "<topic>/set/result" naming its
// cause, with the request's id, against a real broker and a paced
// simulator; an MQTT 5 request (from Debian's mosquitto clients) gets it on
// its response topic too, with its correlation data.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <functional>
#include <future>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "jwgate/topic_watcher.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;

// Points read once, then only after a write: the simulator's faults meet
// the writes, not reads. A silent station holds the line for five attempts
// of 300 ms, longer than a write may wait (600 ms).
std::string Configuration(const std::string& port, int broker) {
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 300\nwrite_timeout_ms = 600\n"
           "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\nprotocol = 5\n"
           "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 3600000\n"
           "mqtt_topic = \"jw/level\"\n"
           "[[point]]\nname = \"setpoint\"\naddress = \"01MA0102\"\ntype = \"i16\"\ninterval_ms = 3600000\n"
           "writable = true\nmqtt_topic = \"jw/setpoint\"\n"
           "[[point]]\nname = \"other\"\naddress = \"01MA0104\"\ntype = \"u16\"\ninterval_ms = 3600000\n"
           "writable = true\nmqtt_topic = \"jw/other\"\n";
}

// The answer on topic whose id is id, once it came.
std::optional<nlohmann::json> AnswerWithId(TopicWatcher& watcher, const std::string& topic, const nlohmann::json& id) {
    std::optional<nlohmann::json> answer;
    watcher.WaitUntil([&](const std::vector<TopicWatcher::Message>& messages) {
        for (const auto& message : messages) {
            if (message.topic != topic) continue;
            const nlohmann::json json = nlohmann::json::parse(message.payload, nullptr, false);
            if (json.is_object() && json["id"] == id) answer = json;
        }
        return answer.has_value();
    });
    return answer;
}

struct OutcomeCase {
    const char* cause;
    std::function<void(kel::jwsim::Simulator&, TopicWatcher&)> before;
    const char* topic;
    std::string payload;
    nlohmann::json id;
    nlohmann::json raw;  // in the answer
    const char* error;   // the start of it; null for a write done
};

TEST(GatewayMqttWriteOutcomes, EverySetGetsOneAnswerNamingItsCauseWithItsId) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 19200});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    GatewayProcess gateway(Configuration(simulator.portName(), broker.port()));
    ASSERT_TRUE(watcher.WaitUntil("jw/other", [](const std::string& payload) {
        return payload.find("\"good\"") != std::string::npos;
    })) << gateway.Log();

    const auto nothing = [](kel::jwsim::Simulator&, TopicWatcher&) {};
    const OutcomeCase cases[] = {
        {"not writable", nothing, "jw/level", R"({"value": 1, "id": "a"})", "a", nullptr, "not writable"},
        {"not a number", nothing, "jw/setpoint", R"({"value": "forty", "id": 2})", 2, nullptr, "not a number"},
        {"out of range", nothing, "jw/setpoint", R"({"value": 40000, "id": "c"})", "c", nullptr,
         "out of range: 40000 is not a i16"},
        {"refused",
         [](kel::jwsim::Simulator& s, TopicWatcher&) {
             s.InjectFault(kel::jwsim::DefaultFault(kel::jwsim::FaultKind::kErrorStatus, 5));
         },
         "jw/setpoint", R"({"value": 12, "id": "d"})", "d", 12, "refused by the controller, status 0B"},
        {"no answer", [](kel::jwsim::Simulator& s, TopicWatcher&) { s.Silence(1, true); }, "jw/setpoint",
         R"({"value": 13, "id": "e"})", "e", 13, "no answer from station 01"},
        // Behind a write to the silent station, which holds the line longer than a write may wait.
        {"expired",
         [](kel::jwsim::Simulator&, TopicWatcher& w) {
             w.Publish("jw/setpoint/set", R"({"value": 14, "id": "blocker"})", false);
         },
         "jw/other", R"({"value": 15, "id": "f"})", "f", 15, "expired in the queue"},
        {"done", [](kel::jwsim::Simulator& s, TopicWatcher&) { s.Silence(1, false); }, "jw/setpoint", "-42",
         nullptr, -42, nullptr},
    };
    for (const OutcomeCase& c : cases) {
        SCOPED_TRACE(c.cause);
        c.before(simulator, watcher);
        ASSERT_TRUE(watcher.Publish(std::string(c.topic) + "/set", c.payload, false));
        const auto answer = AnswerWithId(watcher, std::string(c.topic) + "/set/result", c.id);
        ASSERT_TRUE(answer) << gateway.Log();
        EXPECT_EQ((*answer)["ok"], c.error == nullptr) << answer->dump();
        EXPECT_EQ((*answer)["raw"], c.raw) << answer->dump();
        if (c.error == nullptr) {
            EXPECT_TRUE((*answer)["error"].is_null()) << answer->dump();
        } else {
            EXPECT_EQ((*answer)["error"].get<std::string>().rfind(c.error, 0), 0u) << answer->dump();
        }
    }
    EXPECT_EQ(simulator.Snapshot(1).Register('A', 0102), 0xD6);  // -42, the only write done

    // One answer per request, the blocker's included.
    std::this_thread::sleep_for(milliseconds(300));  // room for an answer too many
    std::multiset<std::string> answered;
    for (const auto& message : watcher.Messages()) {
        if (message.topic.ends_with("/set/result")) answered.insert(nlohmann::json::parse(message.payload)["id"].dump());
    }
    EXPECT_EQ(answered, (std::multiset<std::string> {"\"a\"", "2", "\"c\"", "\"d\"", "\"e\"", "\"blocker\"", "\"f\"",
                                                     "null"}));

    // MQTT 5: the answer on the response topic too, with the correlation
    // data. The request goes again until the subscriber, whose subscription
    // no one can see standing, has its answer.
    const std::string port = std::to_string(broker.port());
    auto subscriber = std::async(std::launch::async, [&] {
        return RunProgram({"/usr/bin/mosquitto_sub", "-V", "mqttv5", "-p", port, "-t", "app/replies", "-C", "1",
                           "-W", "20", "-F", "%D %p"},
                          std::chrono::seconds(25));
    });
    while (subscriber.wait_for(milliseconds(300)) != std::future_status::ready) {
        RunProgram({"/usr/bin/mosquitto_pub", "-V", "mqttv5", "-p", port, "-t", "jw/setpoint/set", "-m",
                    R"({"value": 7, "id": "v5"})", "-D", "publish", "response-topic", "app/replies", "-D", "publish",
                    "correlation-data", "req-1"},
                   std::chrono::seconds(5));
    }
    std::string replied = subscriber.get().output;
    while (!replied.empty() && replied.back() == '\n') replied.pop_back();
    EXPECT_EQ(replied, R"(req-1 {"id":"v5","ok":true,"value":7,"raw":7,"error":null})") << gateway.Log();
    EXPECT_TRUE(AnswerWithId(watcher, "jw/setpoint/set/result", "v5"));
}

}  // namespace
}  // namespace jwgate::test
