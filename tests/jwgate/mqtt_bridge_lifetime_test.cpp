// The MQTT bridge is safe on its own: destroyed while started, without
// Stop, and while write requests keep coming in on its link's thread, it
// stops itself (the link's thread ends before the members it calls into
// go) and says its last counters and "offline" as Stop does.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "jwgate/broker_process.h"
#include "jwgate/topic_watcher.h"
#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/mqtt/mqtt_bridge.h"

namespace jwgate {
namespace {

using test::BrokerProcess;
using test::TopicWatcher;

const std::string kStatus = "jw/bridge/status";
const std::string kPoint = "jw/bridge/setpoint";

std::shared_ptr<const GatewayConfig> ConfigFor(int port) {
    auto config = std::make_shared<GatewayConfig>();
    config->mqtt.enabled = true;
    config->mqtt.port = port;
    config->mqtt.statusTopic = kStatus;
    config->mqtt.keepaliveSeconds = 5;
    PointConfig point;
    point.name = "setpoint";
    point.type = ValueType::kU16;
    point.writable = true;
    point.mqttTopic = kPoint;
    config->points.push_back(point);
    return config;
}

TEST(MqttBridge, DestroyedWhileStartedStopsItself) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    PointTable table({std::chrono::milliseconds(1000)});
    WriteQueue writes;
    std::string storeError;
    const auto store = MessageStore::Open(StoreConfig {}, 1000, &storeError);
    ASSERT_TRUE(store) << storeError;
    std::atomic<int> countersAsked {0};
    std::atomic<bool> flooding {true};
    std::thread flood;
    {
        MqttBridge bridge(ConfigFor(broker.port()), table, writes, *store, [&countersAsked] {
            ++countersAsked;
            return ScanCounters {};
        });
        std::string error;
        ASSERT_TRUE(bridge.Start(&error)) << error;
        ASSERT_TRUE(watcher.WaitFor(kStatus, "online"));
        // Requests on the link's thread up to, and through, the bridge's end.
        flood = std::thread([&] {
            for (int i = 0; flooding.load(); ++i) {
                watcher.Publish(SetTopic(kPoint), std::to_string(i % 100), false, 0);
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        // Each request replaces the one still queued: the link's thread is at work.
        const auto deadline = std::chrono::steady_clock::now() + test::kPatience;
        while (writes.Counts().superseded < 10 && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_GE(writes.Counts().superseded, 10u);
    }
    flooding.store(false);
    flood.join();
    EXPECT_GT(countersAsked.load(), 0);
    EXPECT_TRUE(watcher.WaitUntil(CountersTopic(kStatus), [](const std::string&) { return true; }));
    EXPECT_TRUE(watcher.WaitFor(kStatus, "offline"));
}

}  // namespace
}  // namespace jwgate
