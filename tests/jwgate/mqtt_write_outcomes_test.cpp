// Every "<topic>/set" gets one answer on "<topic>/set/result" naming its
// cause, with the request's id, against a real broker and a paced
// simulator; an MQTT 5 request gets it on its response topic too, with its
// correlation data.
#include <gtest/gtest.h>

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <functional>
#include <mutex>
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
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 300\n"
           "[modbus]\nport = 0\nwrite_timeout_ms = 600\n"
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

// An MQTT 5 client that sends one request with a response topic and
// correlation data and waits for the answer there.
class Mqtt5Requester {
public:
    struct Answer {
        std::string payload;
        std::string correlation;
    };

    explicit Mqtt5Requester(int port, const std::string& replyTopic) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
        mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
            auto* me = static_cast<Mqtt5Requester*>(self);
            std::lock_guard lock(me->mutex_);
            me->subscribed_ = true;
            me->changed_.notify_all();
        });
        mosquitto_message_v5_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message* message,
                                                      const mosquitto_property* properties) {
            auto* me = static_cast<Mqtt5Requester*>(self);
            Answer answer;
            if (message->payload != nullptr) answer.payload.assign(static_cast<const char*>(message->payload),
                                                                   static_cast<std::size_t>(message->payloadlen));
            void* data = nullptr;
            std::uint16_t length = 0;
            if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false)) {
                answer.correlation.assign(static_cast<const char*>(data), length);
                free(data);
            }
            std::lock_guard lock(me->mutex_);
            me->answer_ = answer;
            me->changed_.notify_all();
        });
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
        if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) return;
        mosquitto_subscribe(client_, nullptr, replyTopic.c_str(), 1);
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return subscribed_; });
        replyTopic_ = replyTopic;
    }
    ~Mqtt5Requester() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }

    bool ready() {
        std::lock_guard lock(mutex_);
        return subscribed_;
    }

    std::optional<Answer> Request(const std::string& topic, const std::string& payload,
                                  const std::string& correlation) {
        mosquitto_property* properties = nullptr;
        mosquitto_property_add_string(&properties, MQTT_PROP_RESPONSE_TOPIC, replyTopic_.c_str());
        mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                      static_cast<std::uint16_t>(correlation.size()));
        const int sent = mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                              payload.data(), 1, false, properties);
        mosquitto_property_free_all(&properties);
        if (sent != MOSQ_ERR_SUCCESS) return std::nullopt;
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, kPatience, [&] { return answer_.has_value(); });
        return answer_;
    }

private:
    mosquitto* client_ = nullptr;
    std::string replyTopic_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool subscribed_ = false;
    std::optional<Answer> answer_;
};

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

    // One answer per request, the blocker's included; MQTT 5's on the
    // response topic too, with the correlation data as it was sent.
    const std::string correlation("req\0-1", 6);
    Mqtt5Requester requester(broker.port(), "app/replies");
    ASSERT_TRUE(requester.ready());
    const auto reply = requester.Request("jw/setpoint/set", R"({"value": 7, "id": "v5"})", correlation);
    ASSERT_TRUE(reply) << gateway.Log();
    EXPECT_EQ(reply->correlation, correlation);
    const nlohmann::json replied = nlohmann::json::parse(reply->payload, nullptr, false);
    EXPECT_EQ(replied, nlohmann::json::parse(R"({"id": "v5", "ok": true, "value": 7, "raw": 7, "error": null})"));
    ASSERT_TRUE(AnswerWithId(watcher, "jw/setpoint/set/result", "v5"));
    std::this_thread::sleep_for(milliseconds(300));  // room for an answer too many
    std::multiset<std::string> answered;
    for (const auto& message : watcher.Messages()) {
        if (message.topic.ends_with("/set/result")) answered.insert(nlohmann::json::parse(message.payload)["id"].dump());
    }
    EXPECT_EQ(answered, (std::multiset<std::string> {"\"a\"", "2", "\"c\"", "\"d\"", "\"e\"", "\"blocker\"", "\"f\"",
                                                     "null", "\"v5\""}));
}

}  // namespace
}  // namespace jwgate::test
