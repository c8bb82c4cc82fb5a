// Stations on one line answer or fall silent on their own: a silent one
// marks its own points bad and is retried with back-off, while the others'
// points stay fresh; its state is readable, and on MQTT each station has a
// retained "online"/"offline".
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/gateway_process.h"
#ifdef JWGATE_TEST_MQTT
#include "jwgate/broker_process.h"
#include "jwgate/topic_watcher.h"
#endif
#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/line/scan_engine.h"
#include "tools/jwgate/mqtt/station_topics.h"
#include "tools/jwgate/line/station_tracker.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;

PointConfig PointOn(int station, int intervalMs) {
    PointConfig point;
    point.item.station = station;
    point.intervalMs = intervalMs;
    return point;
}

TEST(StationTracker, ASilentStationIsRetriedEveryScanThenTwiceAsFarApartUpToTenSeconds) {
    StationTracker tracker({PointOn(1, 200), PointOn(2, 500), PointOn(2, 300)});
    const Clock::time_point t0 = Clock::now();
    Clock::time_point retryAt {};
    EXPECT_TRUE(tracker.MayTry(2, t0, &retryAt));
    EXPECT_FALSE(tracker.Silent(2));
    // The shortest interval among station 2's points, doubled while silent.
    const int expected[] = {300, 600, 1200, 2400, 4800, 9600, 10000, 10000};
    Clock::time_point now = t0;
    for (std::size_t i = 0; i < std::size(expected); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tracker.Record(2, false, now), i == 0);  // changed only on the first
        EXPECT_FALSE(tracker.MayTry(2, now + milliseconds(expected[i] - 1), &retryAt));
        EXPECT_EQ(retryAt, now + milliseconds(expected[i]));
        EXPECT_TRUE(tracker.MayTry(2, now + milliseconds(expected[i]), &retryAt));
        EXPECT_TRUE(tracker.MayTry(1, now, &retryAt));  // the other station is not held
        EXPECT_TRUE(tracker.Silent(2));
        EXPECT_FALSE(tracker.Silent(1));
        now += milliseconds(expected[i]);
    }
    EXPECT_EQ(tracker.Snapshot()[1].silentTries, std::size(expected));

    // One answer ends the back-off at once; a new silence starts it over.
    EXPECT_TRUE(tracker.Record(2, true, now));
    EXPECT_TRUE(tracker.MayTry(2, now, &retryAt));
    EXPECT_FALSE(tracker.Silent(2));
    EXPECT_FALSE(tracker.Record(2, true, now));
    EXPECT_TRUE(tracker.Record(2, false, now));
    EXPECT_FALSE(tracker.MayTry(2, now + milliseconds(299), &retryAt));
    EXPECT_TRUE(tracker.MayTry(2, now + milliseconds(300), &retryAt));

    // A station no point names is never held and never recorded.
    EXPECT_FALSE(tracker.Record(7, false, now));
    EXPECT_TRUE(tracker.MayTry(7, now, &retryAt));
    EXPECT_EQ(tracker.Snapshot().size(), 2u);
}

TEST(StationStatusTopics, EachStationOnceReadIsPublishedOnChangeAndAgainOnEveryConnection) {
    StationStatusTopics topics("jw/status");
    std::vector<std::string> sent;
    bool take = true;
    const auto publish = [&](const std::string& topic, const std::string& payload) {
        if (take) sent.push_back(topic + " " + payload);
        return take;
    };
    StationState one {1, true, true, WallClock::now(), 0};
    StationState ten {8, false, false, {}, 0};  // not read yet
    topics.Publish({one, ten}, 1, publish);
    EXPECT_EQ(sent, std::vector<std::string> {"jw/status/station/01 online"});
    topics.Publish({one, ten}, 1, publish);
    EXPECT_EQ(sent.size(), 1u);  // nothing changed

    ten = {8, true, false, {}, 1};
    one.answering = false;
    take = false;  // the link has no room: tried again next time
    topics.Publish({one, ten}, 1, publish);
    take = true;
    topics.Publish({one, ten}, 1, publish);
    EXPECT_EQ(sent, (std::vector<std::string> {"jw/status/station/01 online", "jw/status/station/01 offline",
                                                "jw/status/station/10 offline"}));
    sent.clear();
    topics.Publish({one, ten}, 2, publish);  // a new connection: all again
    EXPECT_EQ(sent, (std::vector<std::string> {"jw/status/station/01 offline", "jw/status/station/10 offline"}));
}

// Station 1 answers; station 2, with four runs to read, is silent.
std::string TwoStations(const std::string& port, int intervalMs) {
    std::string text = "[line]\nport = \"" + port + "\"\nlink_timeout_ms = 100\n";
    const char* addresses[] = {"01MA0100", "01MA0400", "02MA0100", "02MA0300", "02MA0500", "02MA0700"};
    for (const char* address : addresses) {
        text += "[[point]]\nname = \"s" + std::string(address, 2) + "_" + std::string(address + 4) + "\"\naddress = \"" +
                address + "\"\ntype = \"u16\"\ninterval_ms = " + std::to_string(intervalMs) + "\n";
    }
    return text;
}

class StationEngine : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        simulator_.Silence(2, true);
        ConfigError error;
        const auto config = LoadConfig(directory_.Write("two.toml", TwoStations(simulator_.portName(), kIntervalMs)),
                                       &error);
        ASSERT_TRUE(config) << error.Text();
        config_ = *config;
        table_ = std::make_unique<PointTable>(std::vector<milliseconds>(config_.points.size(), milliseconds(kIntervalMs)));
        engine_ = std::make_unique<ScanEngine>(std::make_shared<const GatewayConfig>(config_), *table_, writes_);
        std::string reason;
        ASSERT_TRUE(engine_->Start(&reason)) << reason;
    }
    void TearDown() override {
        if (engine_) engine_->Stop();
    }

    // Waits (generously) until every point of station is good.
    bool WaitGood(int station, milliseconds patience) const {
        const auto until = Clock::now() + patience;
        while (Clock::now() < until) {
            bool all = true;
            for (std::size_t i = 0; i < config_.points.size(); ++i) {
                if (config_.points[i].item.station == station) all = all && table_->Read(i).quality == Quality::kGood;
            }
            if (all) return true;
            std::this_thread::sleep_for(milliseconds(10));
        }
        return false;
    }

    static constexpr int kIntervalMs = 500;
    kel::jwsim::Simulator simulator_ {{.stations = {1, 2}, .baud = 9600}};  // paced as the line's default rate
    ScratchDirectory directory_;
    GatewayConfig config_;
    std::unique_ptr<PointTable> table_;
    WriteQueue writes_;
    std::unique_ptr<ScanEngine> engine_;
};

TEST_F(StationEngine, ASilentStationLeavesTheOthersPointsFreshAndComesBackWhenItAnswers) {
    ASSERT_TRUE(WaitGood(1, milliseconds(10000)));
    // Four seconds of a dead neighbour: station 1's points are never bad or
    // stale (older than two intervals); station 2's are bad throughout.
    const auto start = Clock::now();
    const std::size_t requestsBefore = simulator_.Requests().size();
    double worstAgeMs = 0;
    int samples = 0;
    int liveNotGood = 0;
    int deadNotBad = 0;
    while (Clock::now() - start < std::chrono::seconds(4)) {
        for (std::size_t i = 0; i < config_.points.size(); ++i) {
            const PointReading reading = table_->Read(i);
            if (config_.points[i].item.station == 1) {
                if (reading.quality != Quality::kGood) ++liveNotGood;
                worstAgeMs = std::max(
                    worstAgeMs, std::chrono::duration<double, std::milli>(WallClock::now() - reading.lastGood).count());
            } else if (reading.quality != Quality::kBad) {
                ++deadNotBad;
            }
        }
        ++samples;
        std::this_thread::sleep_for(milliseconds(10));
    }
    int deadRequests = 0;
    const auto requests = simulator_.Requests();
    for (std::size_t i = requestsBefore; i < requests.size(); ++i) deadRequests += requests[i].payload.rfind("02", 0) == 0;
    std::printf("interval %d ms, link timeout 100 ms, station 2 silent with 4 runs: station 1's worst age %.0f ms "
                "over %d samples in 4 s; %d request(s) to station 2\n",
                kIntervalMs, worstAgeMs, samples, deadRequests);
    EXPECT_EQ(liveNotGood, 0);
    EXPECT_EQ(deadNotBad, 0);
    // Tried every pass, all four runs, five attempts each, it would have had
    // about forty (two seconds a pass); with back-off and one-attempt
    // probes, five for the read that found it silent and one a try after.
    EXPECT_LE(deadRequests, 12);

    std::vector<StationState> stations = engine_->Stations();
    ASSERT_EQ(stations.size(), 2u);
    EXPECT_TRUE(stations[0].answering);
    EXPECT_FALSE(stations[1].answering);

    // Back: within the longest retry, and all its points at once.
    simulator_.Silence(2, false);
    ASSERT_TRUE(WaitGood(2, milliseconds(15000)));
    EXPECT_TRUE(engine_->Stations()[1].answering);
    EXPECT_TRUE(WaitGood(1, milliseconds(1000)));
}

#ifdef JWGATE_TEST_MQTT
TEST(StationStatusMqtt, EachStationsAvailabilityIsRetainedAndFollowsItsAnswers) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    kel::jwsim::Simulator simulator({.stations = {1, 2}, .baud = 9600});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Silence(2, true);
    GatewayProcess gateway(TwoStations(simulator.portName(), 200) + "[mqtt]\nport = " + std::to_string(broker.port()) +
                           "\nstatus_topic = \"jw/status\"\n");
    {
        TopicWatcher watcher(broker.port());
        ASSERT_TRUE(watcher.ready());
        EXPECT_TRUE(watcher.WaitFor("jw/status/station/01", "online")) << gateway.Log();
        EXPECT_TRUE(watcher.WaitFor("jw/status/station/02", "offline")) << gateway.Log();
    }
    // Retained: a subscriber that comes later finds both.
    TopicWatcher late(broker.port());
    ASSERT_TRUE(late.ready());
    EXPECT_TRUE(late.WaitFor("jw/status/station/01", "online", TopicWatcher::Retained::kYes));
    EXPECT_TRUE(late.WaitFor("jw/status/station/02", "offline", TopicWatcher::Retained::kYes));
    simulator.Silence(2, false);
    EXPECT_TRUE(late.WaitFor("jw/status/station/02", "online")) << gateway.Log();
    EXPECT_TRUE(gateway.WaitForLog("station 02: answering again", milliseconds(5000))) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, milliseconds(10000)), 0);
}
#endif

}  // namespace
}  // namespace jwgate::test
