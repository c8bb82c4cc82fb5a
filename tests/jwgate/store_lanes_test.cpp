// The store's two lanes (the JSON side's and the Sparkplug edge node's) seen
// from their users: each acknowledges on its own, a message stays in the
// backlog while any lane needs it, in the file (over commits and reopens)
// and in the memory queue alike.
#include <gtest/gtest.h>

#include <atomic>
#include <numeric>

#include "jwgate/store_test_support.h"

namespace jwgate {
namespace {

using namespace store_test;
using Ids = std::vector<std::uint64_t>;

enum class LaneOp { kBoth, kAnswer, kAckJson, kAckSparkplug, kCommit, kReopen };
struct LaneStep {
    LaneOp op;
    Ids ids {};  // the acknowledgements'
};
struct LaneCase {
    const char* name;
    std::vector<LaneStep> steps;
    Ids json, sparkplug;
    std::uint64_t backlog;
};

const LaneCase kLaneCases[] = {
    {"each lane acknowledges on its own",
     {{LaneOp::kBoth}, {LaneOp::kBoth}, {LaneOp::kBoth}, {LaneOp::kAckJson, {1, 2}}, {LaneOp::kAckSparkplug, {2, 3}}},
     {3}, {1}, 2},
    {"a message leaves the backlog once no lane needs it, across commits and reopens",
     {{LaneOp::kBoth}, {LaneOp::kBoth}, {LaneOp::kCommit}, {LaneOp::kAckJson, {1}}, {LaneOp::kCommit},
      {LaneOp::kReopen}, {LaneOp::kAckSparkplug, {1}}},
     {2}, {2}, 1},
    {"both lanes acknowledge before the commit",
     {{LaneOp::kBoth}, {LaneOp::kBoth}, {LaneOp::kAckJson, {1}}, {LaneOp::kAckSparkplug, {1}}, {LaneOp::kReopen}},
     {2}, {2}, 1},
    {"an answer is the JSON lane's alone", {{LaneOp::kAnswer}, {LaneOp::kBoth}, {LaneOp::kAckSparkplug, {1}}},
     {1, 2}, {2}, 2},
    {"one lane's repeated acknowledgements leave the other's alone",
     {{LaneOp::kBoth}, {LaneOp::kAckSparkplug, {1, 1, 7}}, {LaneOp::kCommit}, {LaneOp::kReopen}}, {1}, {}, 1},
};

void Expect(MessageStore& store, const LaneCase& test, const std::string& where) {
    EXPECT_EQ(IdsOf(store.Unsent(0, 100)), test.json) << where;
    EXPECT_EQ(IdsOf(store.Unsent(0, 100, kJsonLane)), test.json) << where;
    EXPECT_EQ(IdsOf(store.Unsent(0, 100, kSparkplugLane)), test.sparkplug) << where;
    EXPECT_EQ(store.Statistics().backlog, test.backlog) << where;
}

// The same steps on the file and on the memory queue, which knows no reopen.
TEST(StoreLanes, EachLaneAcknowledgesOnItsOwnInTheFileAndInMemory) {
    for (const LaneCase& test : kLaneCases) {
        for (const bool file : {true, false}) {
            TempDirectory directory;
            const StoreConfig config = file ? FileConfig(directory.File("store.db"), 5) : StoreConfig {};
            std::string error;
            auto store = MessageStore::Open(config, 100, &error);
            ASSERT_NE(store, nullptr) << error;
            int appended = 0;
            for (const LaneStep& step : test.steps) {
                switch (step.op) {
                case LaneOp::kBoth: store->Append(Counter(++appended), kEveryLane); break;
                case LaneOp::kAnswer: ++appended; store->Append(StoredAnswer {"t/set/result", "{}", "", ""}); break;
                case LaneOp::kAckJson: for (auto id : step.ids) store->Acknowledge(id); break;
                case LaneOp::kAckSparkplug: for (auto id : step.ids) store->Acknowledge(id, kSparkplugLane); break;
                case LaneOp::kCommit: std::this_thread::sleep_for(std::chrono::milliseconds(40)); break;
                case LaneOp::kReopen:
                    if (!file) break;
                    store.reset();
                    store = MessageStore::Open(config, 100, &error);
                    ASSERT_NE(store, nullptr) << error;
                }
            }
            const std::string where = std::string(test.name) + (file ? " (file)" : " (memory)");
            Expect(*store, test, where);
            if (!file) continue;
            store.reset();
            store = MessageStore::Open(config, 100, &error);
            ASSERT_NE(store, nullptr) << error;
            Expect(*store, test, where + " reopened");
        }
    }
}

TEST(StoreLanes, AMessageDroppedFromTheMemoryQueueCountsOnceForBothLanes) {
    StoreLog log;
    std::string error;
    auto store = MessageStore::Open(StoreConfig {}, 3, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 5; ++n) store->Append(Counter(n), kEveryLane);
    EXPECT_EQ(IdsOf(store->Unsent(0, 10, kSparkplugLane)), (Ids {3, 4, 5}));
    EXPECT_EQ(store->Statistics().dropped, 2u);
    EXPECT_EQ(store->Statistics().backlog, 3u);
}

// A producer and one replayer per lane on threads of their own: each lane
// sees every message once, in order, and nothing is left once both took all.
TEST(StoreLanes, TwoLanesReplayingOnThreadsEachSeeEveryMessageOnce) {
    TempDirectory directory;
    std::string error;
    auto store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    ASSERT_NE(store, nullptr) << error;
    constexpr int kMessages = 6000;
    std::atomic<bool> producing {true};
    std::thread producer([&] {
        for (int n = 1; n <= kMessages; ++n) store->Append(Counter(n), kEveryLane);
        producing = false;
    });
    Ids seen[2];
    auto replay = [&](StoreLanes lane, Ids* ids) {
        std::uint64_t cursor = 0;
        while (true) {
            const bool last = !producing;
            auto page = store->Unsent(cursor, 100, lane);
            for (const auto& message : page) {
                store->Acknowledge(message.id, lane);
                cursor = message.id;
                ids->push_back(static_cast<std::uint64_t>(ValueOf(message)));
            }
            if (page.empty() && last) break;
        }
    };
    std::thread json(replay, kJsonLane, &seen[0]);
    std::thread sparkplug(replay, kSparkplugLane, &seen[1]);
    producer.join();
    json.join();
    sparkplug.join();
    Ids all(kMessages);
    std::iota(all.begin(), all.end(), 1);
    EXPECT_EQ(seen[0], all);
    EXPECT_EQ(seen[1], all);
    EXPECT_EQ(store->Statistics().backlog, 0u);
    store.reset();
    store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_TRUE(store->Unsent(0, 10, kSparkplugLane).empty());
    EXPECT_EQ(store->Statistics().backlog, 0u);
}

}  // namespace
}  // namespace jwgate
