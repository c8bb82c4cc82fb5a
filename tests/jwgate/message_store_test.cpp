// The message store seen from its users: what Unsent answers after appends,
// acknowledgements on each lane, commits and reopens, on a real SQLite file
// and in the memory queue.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <iterator>
#include <numeric>
#include <fstream>
#include <map>

#include "jwgate/store_test_support.h"

namespace jwgate {
namespace {

using namespace store_test;

using Ids = std::vector<std::uint64_t>;

// A reading for the JSON side, or for both lanes; an answer (the JSON side's
// alone); acknowledgements on a lane; a wait for a commit; a reopen.
enum class Op { kAppend, kAppendBoth, kAnswer, kAck, kAckSparkplug, kCommit, kReopen };
struct Step {
    Op op;
    Ids ids {};  // the acknowledgements'
};
struct OrderCase {
    const char* name;
    std::vector<Step> steps;
    Ids json, sparkplug;  // unsent on each lane
    std::uint64_t backlog;
};

const Step kOne {Op::kAppend};
const Step kBoth {Op::kAppendBoth};
const Step kCommit {Op::kCommit};
const Step kReopen {Op::kReopen};

const OrderCase kOrderCases[] = {
    {"unacknowledged ones survive a reopen, in order", {kOne, kOne, kOne, kReopen, kOne}, {1, 2, 3, 4}, {}, 4},
    {"acknowledged before and after the commit, across reopens",
     {kOne, kOne, kOne, {Op::kAck, {1}}, kCommit, {Op::kAck, {2}}, kReopen, kOne, {Op::kAck, {4}}, kCommit}, {3}, {},
     1},
    {"unknown and repeated acknowledgements are ignored", {kOne, kOne, {Op::kAck, {2, 2, 0, 99}}, kReopen, {Op::kAck, {2}}},
     {1}, {}, 1},
    {"ids go on after every row is gone", {{Op::kAnswer}, {Op::kAck, {1}}, kReopen, kOne}, {2}, {}, 1},
    {"answers and readings keep one order, an answer the JSON lane's alone",
     {kBoth, {Op::kAnswer}, kCommit, kBoth, {Op::kAckSparkplug, {1}}}, {1, 2, 3}, {3}, 3},
    {"each lane acknowledges on its own", {kBoth, kBoth, kBoth, {Op::kAck, {1, 2}}, {Op::kAckSparkplug, {2, 3}}},
     {3}, {1}, 2},
    {"a message leaves the backlog once no lane needs it, across commits and reopens",
     {kBoth, kBoth, kCommit, {Op::kAck, {1}}, kCommit, kReopen, {Op::kAckSparkplug, {1, 1, 7}}}, {2}, {2}, 1},
};

void Apply(std::unique_ptr<MessageStore>& store, const Step& step, const StoreConfig& config, int& appended) {
    std::string error;
    switch (step.op) {
    case Op::kAppend:
        ++appended;
        EXPECT_EQ(store->Append(Counter(appended)), static_cast<std::uint64_t>(appended));
        break;
    case Op::kAppendBoth: store->Append(Counter(++appended), kEveryLane); break;
    case Op::kAnswer: ++appended; store->Append(StoredAnswer {"line/set/result", "{\"ok\":true}", "c", "r"}); break;
    case Op::kAck: for (auto id : step.ids) store->Acknowledge(id); break;
    case Op::kAckSparkplug: for (auto id : step.ids) store->Acknowledge(id, kSparkplugLane); break;
    case Op::kCommit: std::this_thread::sleep_for(std::chrono::milliseconds(40)); break;
    case Op::kReopen:
        if (!config.enabled) break;  // the memory queue knows no reopen
        store.reset();
        store = MessageStore::Open(config, 1000, &error);
        ASSERT_NE(store, nullptr) << error;
    }
}

void ExpectUnsent(MessageStore& store, const OrderCase& test) {
    EXPECT_EQ(IdsOf(store.Unsent(0, 1000)), test.json);
    EXPECT_EQ(IdsOf(store.Unsent(0, 1000, kSparkplugLane)), test.sparkplug);
    EXPECT_EQ(store.Statistics().backlog, test.backlog);
    // Page by page, through the file and the tail, the same.
    Ids paged;
    for (auto page = store.Unsent(0, 2); !page.empty(); page = store.Unsent(paged.back(), 2)) {
        for (auto id : IdsOf(page)) paged.push_back(id);
    }
    EXPECT_EQ(paged, test.json);
}

// The same steps on the file (then reopened once more) and on the memory queue.
TEST(MessageStore, UnsentIsWhatEachLaneHasNotAcknowledgedInOrder) {
    for (const OrderCase& test : kOrderCases) {
        for (const bool file : {true, false}) {
            SCOPED_TRACE(std::string(test.name) + (file ? " (file)" : " (memory)"));
            TempDirectory directory;
            const StoreConfig config = file ? FileConfig(directory.File("store.db"), 5) : StoreConfig {};
            std::string error;
            auto store = MessageStore::Open(config, 1000, &error);
            ASSERT_NE(store, nullptr) << error;
            int appended = 0;
            for (const Step& step : test.steps) ASSERT_NO_FATAL_FAILURE(Apply(store, step, config, appended));
            ExpectUnsent(*store, test);
            if (!file) continue;
            store.reset();
            store = MessageStore::Open(config, 1000, &error);
            ASSERT_NE(store, nullptr) << error;
            ExpectUnsent(*store, test);
        }
    }
}

TEST(MessageStore, ReadingsAndAnswersComeBackAsTheyWent) {
    TempDirectory directory;
    StoreConfig config = FileConfig(directory.File("store.db"));
    std::string error;
    auto store = MessageStore::Open(config, 100, &error);
    ASSERT_NE(store, nullptr) << error;
    store->Append(StoredReading {"tank level", std::nullopt, Quality::kBad, 0});
    store->Append(StoredReading {"tank level", -12.25, Quality::kStale, 1'765'000'000'123});
    store->Append(StoredAnswer {"l1/set/result", std::string("{\"v\":1}\0x", 9), std::string("\x01\x00", 2), "reply"});
    store.reset();
    store = MessageStore::Open(config, 100, &error);
    auto unsent = store->Unsent(0, 10);
    ASSERT_EQ(unsent.size(), 3u);
    const auto& first = std::get<StoredReading>(unsent[0].body);
    EXPECT_EQ(first.point, "tank level");
    EXPECT_FALSE(first.value.has_value());
    EXPECT_EQ(first.quality, Quality::kBad);
    const auto& second = std::get<StoredReading>(unsent[1].body);
    EXPECT_EQ(second.value, -12.25);
    EXPECT_EQ(second.quality, Quality::kStale);
    EXPECT_EQ(second.readMs, 1'765'000'000'123);
    const auto& answer = std::get<StoredAnswer>(unsent[2].body);
    EXPECT_EQ(answer.topic, "l1/set/result");
    EXPECT_EQ(answer.payload, std::string("{\"v\":1}\0x", 9));
    EXPECT_EQ(answer.correlation, std::string("\x01\x00", 2));
    EXPECT_EQ(answer.responseTopic, "reply");
    EXPECT_GT(unsent[2].producedMs, 1'765'000'000'000);
    // The backlog's age runs from the oldest one's production, over a reopen.
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    auto statistics = store->Statistics();
    EXPECT_EQ(statistics.backlog, 3u);
    EXPECT_GE(statistics.backlogAgeSeconds, 0.03);
    EXPECT_LT(statistics.backlogAgeSeconds, 3600);
    for (const auto& message : unsent) store->Acknowledge(message.id);
    EXPECT_EQ(store->Statistics().backlogAgeSeconds, 0);
}

TEST(MessageStore, MemoryQueueDropsTheOldestAndCountsThemOnce) {
    StoreLog log;
    std::string error;
    auto store = MessageStore::Open(StoreConfig {}, 3, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 5; ++n) store->Append(Counter(n), kEveryLane);
    EXPECT_EQ(IdsOf(store->Unsent(0, 10)), (std::vector<std::uint64_t> {3, 4, 5}));
    EXPECT_EQ(IdsOf(store->Unsent(0, 10, kSparkplugLane)), (std::vector<std::uint64_t> {3, 4, 5}));
    store->Acknowledge(4);
    EXPECT_EQ(IdsOf(store->Unsent(3, 10)), (std::vector<std::uint64_t> {5}));
    auto statistics = store->Statistics();
    EXPECT_FALSE(statistics.persistent);
    EXPECT_EQ(statistics.backlog, 3u);  // 3 still unsent on the Sparkplug lane
    EXPECT_EQ(statistics.dropped, 2u);  // once each, whatever the lanes
    EXPECT_EQ(log.Count("store: memory queue: dropping the oldest"), 1u);
    EXPECT_TRUE(store->History("counter", 0, INT64_MAX, 10).empty());
}

TEST(MessageStore, HistoryKeepsAcknowledgedReadingsByReadTime) {
    TempDirectory directory;
    StoreConfig config = FileConfig(directory.File("store.db"));
    std::string error;
    auto store = MessageStore::Open(config, 100, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 6; ++n) store->Acknowledge(store->Append(Counter(n, n % 2 ? "odd" : "even")));
    store->Append(StoredAnswer {"t", "p", "", ""});
    store.reset();
    store = MessageStore::Open(config, 100, &error);
    auto rows = store->History("even", Counter(4).readMs, Counter(6).readMs, 10);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].value, 4.0);
    EXPECT_EQ(rows[1].value, 6.0);
    EXPECT_EQ(rows[1].quality, Quality::kGood);
    EXPECT_EQ(store->History("odd", 0, INT64_MAX, 2).size(), 2u);
    EXPECT_TRUE(store->History("none", 0, INT64_MAX, 10).empty());
    store.reset();
    config.historyHours = 0;
    store = MessageStore::Open(config, 100, &error);
    store->Acknowledge(store->Append(Counter(7, "even")));
    EXPECT_TRUE(store->History("even", 0, INT64_MAX, 10).empty());
}

std::string Corrupts(const std::string& directory) {
    std::string path = directory + "/store.db";
    std::ofstream(path) << std::string(8192, 'x');
    return path;
}

std::string DamagedPages(const std::string& directory) {
    std::string path = directory + "/store.db";
    {
        std::string error;
        auto store = MessageStore::Open(FileConfig(path), 100000, &error);
        for (int n = 1; n <= 5000; ++n) store->Append(Counter(n, "p" + std::to_string(n % 50)));
    }
    std::fstream file(path, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(4096 * 3);
    file << std::string(4096 * 4, '\x5a');
    return path;
}

TEST(MessageStore, ACorruptFileIsMovedAsideAndANewStoreStarted) {
    for (auto make : {Corrupts, DamagedPages}) {
        TempDirectory directory;
        StoreLog log;
        std::string path = make(directory.path());
        std::string error;
        auto store = MessageStore::Open(FileConfig(path), 100, &error);
        ASSERT_NE(store, nullptr) << error;
        EXPECT_EQ(log.Count("store: " + path + ": "), 1u);
        EXPECT_EQ(log.Count("moved aside to " + path + ".corrupt-"), 1u);
        int aside = 0;
        for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
            aside += entry.path().filename().string().rfind("store.db.corrupt-2", 0) == 0;
        }
        EXPECT_EQ(aside, 1);
        EXPECT_EQ(store->Append(Counter(1)), 1u);
        store.reset();
        store = MessageStore::Open(FileConfig(path), 100, &error);
        EXPECT_EQ(IdsOf(store->Unsent(0, 10)), (std::vector<std::uint64_t> {1}));
    }
}

// Damage found by a commit, the store running: the file goes aside with
// what it held, counted as dropped, and the store goes on in a new one.
TEST(MessageStore, DamageFoundWhileRunningMovesTheFileAside) {
    TempDirectory directory;
    StoreLog log;
    StoreConfig config = FileConfig(directory.File("store.db"), 10);
    std::string error;
    auto store = MessageStore::Open(config, 1000, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 100; ++n) store->Append(Counter(n));
    ASSERT_TRUE(WaitFor([&] { return DescribeStore(config).rfind(config.path + ": 100 messages unsent", 0) == 0; }));
    for (const char* suffix : {"", "-wal", "-shm"}) {
        std::string file = config.path + suffix;
        auto size = std::filesystem::file_size(file);
        std::fstream(file, std::ios::in | std::ios::out | std::ios::binary) << std::string(size, '\x5a');
    }
    for (int n = 101; n <= 110; ++n) store->Append(Counter(n));
    ASSERT_TRUE(WaitFor([&] { return log.Count("moved aside to " + config.path + ".corrupt-") == 1; }));
    for (int n = 111; n <= 120; ++n) store->Append(Counter(n));
    ASSERT_TRUE(WaitFor([&] { return DescribeStore(config).rfind(config.path + ": 20 messages unsent", 0) == 0; }))
        << DescribeStore(config);
    auto statistics = store->Statistics();
    EXPECT_EQ(statistics.dropped, 100u);
    EXPECT_EQ(statistics.backlog, 20u);
    EXPECT_EQ(statistics.fault, "");
    store.reset();
    store = MessageStore::Open(config, 1000, &error);
    EXPECT_EQ(IdsOf(store->Unsent(0, 1000)).front(), 101u);
    EXPECT_EQ(store->Append(Counter(121)), 121u);
}

struct Refusal {
    const char* name;
    const char* sql;        // run on a new SQLite file first; nullptr: the path is under a plain file
    const char* expected;   // in the error
};

const Refusal kRefusals[] = {
    {"tables of its own", "CREATE TABLE readings (x)", "tables of its own"},
    {"another application", "PRAGMA application_id = 1234; CREATE TABLE t (x)", "application_id 0x000004d2"},
    {"a later schema", "PRAGMA application_id = 1247233875; PRAGMA user_version = 9; CREATE TABLE t (x)",
     "schema version 9"},
    {"a directory that cannot be made", nullptr, "cannot create the directory"},
};

TEST(MessageStore, AFileThatIsNotAStoreIsRefusedAndLeftAsItWas) {
    for (const auto& refusal : kRefusals) {
        SCOPED_TRACE(refusal.name);
        TempDirectory directory;
        std::string path = directory.File("store.db");
        if (refusal.sql != nullptr) {
            sqlite3* db = nullptr;
            ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
            EXPECT_EQ(sqlite3_exec(db, refusal.sql, nullptr, nullptr, nullptr), SQLITE_OK);
            sqlite3_close(db);
        } else {
            std::ofstream(directory.File("plain")) << "x";
            path = directory.File("plain/sub/store.db");
        }
        auto before = std::filesystem::exists(path) ? std::filesystem::file_size(path) : 0;
        std::string error;
        EXPECT_EQ(MessageStore::Open(FileConfig(path), 100, &error), nullptr);
        EXPECT_NE(error.find(path), std::string::npos) << error;
        EXPECT_NE(error.find(refusal.expected), std::string::npos) << error;
        if (refusal.sql != nullptr) {
            EXPECT_EQ(std::filesystem::file_size(path), before);
        }
        EXPECT_NE(DescribeStore(FileConfig(path)).find(refusal.sql ? refusal.expected : "does not exist"),
                  std::string::npos);
    }
}

TEST(MessageStore, DescribeReadsWithoutWriting) {
    TempDirectory directory;
    StoreConfig config = FileConfig(directory.File("store.db"));
    EXPECT_EQ(DescribeStore(config), config.path + ": does not exist yet");
    EXPECT_FALSE(std::filesystem::exists(config.path));
    std::string error;
    {
        auto store = MessageStore::Open(config, 100, &error);
        for (int n = 1; n <= 5; ++n) store->Append(Counter(n));
        store->Acknowledge(1);
        store->Acknowledge(2);
    }
    auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
            names.push_back(entry.path().filename().string() + ":" + std::to_string(entry.file_size()));
        }
        std::sort(names.begin(), names.end());
        return names;
    };
    auto before = listing();
    EXPECT_EQ(DescribeStore(config).rfind(config.path + ": 3 messages unsent, 2 kept, 0.", 0), 0u)
        << DescribeStore(config);
    EXPECT_EQ(listing(), before);
}

// Each lane's sender (read Unsent, acknowledge what it sent) on a thread of
// its own while producers append on others, the JSON side acknowledging a
// third at once as its live lane does: nothing skipped, nothing acknowledged
// comes back, each producer's order holds, nothing left once both took all.
TEST(MessageStore, ProducersAndOneSenderPerLaneOnThreads) {
    TempDirectory directory;
    std::string error;
    auto store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    ASSERT_NE(store, nullptr) << error;
    constexpr int kProducers = 2;
    constexpr int kEach = 3000;
    std::atomic<int> running {kProducers};
    std::vector<std::thread> threads;
    for (int p = 0; p < kProducers; ++p) {
        threads.emplace_back([&, p] {
            for (int n = 1; n <= kEach; ++n) {
                const std::uint64_t id = store->Append(Counter(n, "p" + std::to_string(p)), kEveryLane);
                if (n % 3 == 0) store->Acknowledge(id);
            }
            --running;
        });
    }
    std::map<std::string, std::vector<double>> seen[2];  // by lane, by producer: the values
    auto send = [&](StoreLanes lane, std::map<std::string, std::vector<double>>* values) {
        for (std::uint64_t cursor = 0;;) {
            const bool last = running == 0;
            auto page = store->Unsent(cursor, 100, lane);
            for (const auto& message : page) {
                store->Acknowledge(message.id, lane);
                cursor = message.id;
                (*values)[std::get<StoredReading>(message.body).point].push_back(ValueOf(message));
            }
            if (page.empty() && last) break;
        }
    };
    threads.emplace_back(send, kJsonLane, &seen[0]);
    threads.emplace_back(send, kSparkplugLane, &seen[1]);
    for (auto& thread : threads) thread.join();
    for (int p = 0; p < kProducers; ++p) {
        std::vector<double> all(kEach);
        std::iota(all.begin(), all.end(), 1);
        EXPECT_EQ(seen[1]["p" + std::to_string(p)], all);
        // The JSON lane: every one not acknowledged at once, each once, in
        // order; one acknowledged at once may come too if the sender took it
        // between its append and its acknowledgement.
        const std::vector<double>& json = seen[0]["p" + std::to_string(p)];
        EXPECT_TRUE(std::is_sorted(json.begin(), json.end()) && std::adjacent_find(json.begin(), json.end()) == json.end());
        std::vector<double> notAcknowledged;
        std::copy_if(all.begin(), all.end(), std::back_inserter(notAcknowledged), [](double n) { return int(n) % 3 != 0; });
        EXPECT_TRUE(std::includes(json.begin(), json.end(), notAcknowledged.begin(), notAcknowledged.end()));
    }
    EXPECT_EQ(store->Statistics().backlog, 0u);
    store.reset();
    store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_TRUE(store->Unsent(0, 10, kSparkplugLane).empty());
    EXPECT_EQ(store->Statistics().backlog, 0u);
}

}  // namespace
}  // namespace jwgate
