// The message store seen from its users: what Unsent answers after appends,
// acknowledgements, commits and reopens, on a real SQLite file.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <map>
#include <set>

#include "jwgate/store_test_support.h"

namespace jwgate {
namespace {

using namespace store_test;

enum class Op { kAppend, kAnswer, kAck, kPause, kReopen };
struct Step {
    Op op;
    std::vector<std::uint64_t> ids;  // kAck's; kAppend appends ids.size() readings
};
struct OrderCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<std::uint64_t> unsent;
};

const Step kThree {Op::kAppend, {0, 0, 0}};
const Step kPause {Op::kPause, {}};
const Step kReopen {Op::kReopen, {}};

const OrderCase kOrderCases[] = {
    {"unacknowledged ones survive a reopen, in order", {kThree, kThree, kReopen}, {1, 2, 3, 4, 5, 6}},
    {"acknowledged before the commit", {kThree, {Op::kAck, {1, 3}}, kReopen}, {2}},
    {"acknowledged after the commit", {kThree, kPause, {Op::kAck, {2}}, kPause}, {1, 3}},
    {"acknowledged across commits and reopens",
     {kThree, kPause, {Op::kAck, {2}}, kReopen, kThree, {Op::kAck, {4, 1}}, kPause}, {3, 5, 6}},
    {"unknown and repeated acknowledgements are ignored", {kThree, {Op::kAck, {2, 2, 0, 99}}, kReopen, {Op::kAck, {2}}},
     {1, 3}},
    {"ids go on after every row is gone",
     {{Op::kAnswer, {}}, {Op::kAnswer, {}}, {Op::kAck, {1, 2}}, kReopen, kThree}, {3, 4, 5}},
    {"answers and readings keep one order", {kThree, {Op::kAnswer, {}}, kPause, kThree, kReopen},
     {1, 2, 3, 4, 5, 6, 7}},
};

class StoreOrder : public ::testing::TestWithParam<OrderCase> {};

TEST_P(StoreOrder, UnsentIsWhatWasNotAcknowledgedInOrder) {
    TempDirectory directory;
    StoreConfig config = FileConfig(directory.File("store.db"), 5);
    std::string error;
    auto store = MessageStore::Open(config, 1000, &error);
    ASSERT_NE(store, nullptr) << error;
    int appended = 0;
    for (const Step& step : GetParam().steps) {
        if (step.op == Op::kAppend) {
            for (std::size_t i = 0; i < step.ids.size(); ++i) {
                ++appended;
                EXPECT_EQ(store->Append(Counter(appended)), static_cast<std::uint64_t>(appended));
            }
        } else if (step.op == Op::kAnswer) {
            ++appended;
            store->Append(StoredAnswer {"line/set/result", "{\"ok\":true}", "c", "r"});
        } else if (step.op == Op::kAck) {
            for (auto id : step.ids) store->Acknowledge(id);
        } else if (step.op == Op::kPause) {
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        } else {
            store.reset();
            store = MessageStore::Open(config, 1000, &error);
            ASSERT_NE(store, nullptr) << error;
        }
    }
    const auto& expected = GetParam().unsent;
    EXPECT_EQ(IdsOf(store->Unsent(0, 1000)), expected);
    EXPECT_EQ(store->Statistics().backlog, expected.size());
    // Page by page, through the file and the tail, the same.
    std::vector<std::uint64_t> paged;
    for (auto page = store->Unsent(0, 2); !page.empty(); page = store->Unsent(paged.back(), 2)) {
        for (auto id : IdsOf(page)) paged.push_back(id);
    }
    EXPECT_EQ(paged, expected);
    store.reset();
    store = MessageStore::Open(config, 1000, &error);
    ASSERT_NE(store, nullptr) << error;
    EXPECT_EQ(IdsOf(store->Unsent(0, 1000)), expected);
    EXPECT_EQ(store->Statistics().backlog, expected.size());
}

INSTANTIATE_TEST_SUITE_P(Cases, StoreOrder, ::testing::ValuesIn(kOrderCases), [](const auto& info) {
    std::string name = info.param.name;
    std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
    return name;
});

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

TEST(MessageStore, MemoryQueueDropsTheOldestAndCountsThem) {
    StoreLog log;
    std::string error;
    auto store = MessageStore::Open(StoreConfig {}, 3, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 5; ++n) store->Append(Counter(n));
    EXPECT_EQ(IdsOf(store->Unsent(0, 10)), (std::vector<std::uint64_t> {3, 4, 5}));
    store->Acknowledge(4);
    EXPECT_EQ(IdsOf(store->Unsent(3, 10)), (std::vector<std::uint64_t> {5}));
    auto statistics = store->Statistics();
    EXPECT_FALSE(statistics.persistent);
    EXPECT_EQ(statistics.backlog, 2u);
    EXPECT_EQ(statistics.dropped, 2u);
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

// A store of the version before kept numbers: the kept table gone, version 1.
void MakeVersionOne(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, "DROP TABLE kept; PRAGMA user_version = 1", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
}

TEST(MessageStore, KeptNumbersSurviveAReopenAndAnOlderStoreIsBroughtUpToDate) {
    for (const bool older : {false, true}) {
        SCOPED_TRACE(older ? "a version 1 store" : "a new store");
        TempDirectory directory;
        const StoreConfig config = FileConfig(directory.File("store.db"));
        std::string error;
        if (older) {
            ASSERT_NE(MessageStore::Open(config, 100, &error), nullptr) << error;
            MakeVersionOne(config.path);
        }
        {
            auto store = MessageStore::Open(config, 100, &error);
            ASSERT_NE(store, nullptr) << error;
            EXPECT_EQ(store->Kept("bdseq"), std::nullopt);
            EXPECT_TRUE(store->Keep("bdseq", 254));
            EXPECT_TRUE(store->Keep("bdseq", 255));
        }
        auto reopened = MessageStore::Open(config, 100, &error);
        ASSERT_NE(reopened, nullptr) << error;
        EXPECT_EQ(reopened->Kept("bdseq"), 255);
        EXPECT_EQ(reopened->Kept("other"), std::nullopt);
    }
    auto memory = MessageStore::Open(StoreConfig {}, 3, nullptr);
    EXPECT_TRUE(memory->Keep("bdseq", 7));
    EXPECT_EQ(memory->Kept("bdseq"), 7);
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

// The bridge's part (read Unsent, acknowledge what it sent) on one thread
// while producers append, and acknowledge some at once, on others: nothing
// is skipped, nothing acknowledged comes back, each producer's order holds.
TEST(MessageStore, ProducersAndAReplayerOnThreads) {
    TempDirectory directory;
    std::string error;
    auto store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    ASSERT_NE(store, nullptr) << error;
    constexpr int kProducers = 3;
    constexpr int kEach = 3000;
    std::vector<std::vector<std::uint64_t>> keptIds(kProducers);
    std::atomic<int> running {kProducers};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; ++p) {
        producers.emplace_back([&, p] {
            for (int n = 1; n <= kEach; ++n) {
                std::uint64_t id = store->Append(Counter(n, "p" + std::to_string(p)));
                if (n % 3 == 0) {
                    store->Acknowledge(id);
                } else {
                    keptIds[p].push_back(id);
                }
            }
            --running;
        });
    }
    std::vector<StoredMessage> replayed;
    std::uint64_t cursor = 0;
    while (true) {
        bool last = running == 0;
        auto page = store->Unsent(cursor, 100);
        for (auto& message : page) {
            store->Acknowledge(message.id);
            cursor = message.id;
            replayed.push_back(std::move(message));
        }
        if (page.empty() && last) break;
    }
    for (auto& producer : producers) producer.join();
    std::map<std::string, double> lastValue;
    std::set<std::uint64_t> seen;
    for (const auto& message : replayed) {
        const auto& reading = std::get<StoredReading>(message.body);
        EXPECT_GT(*reading.value, lastValue[reading.point]) << reading.point;
        lastValue[reading.point] = *reading.value;
        seen.insert(message.id);
    }
    std::size_t missing = 0;
    for (const auto& ids : keptIds) {
        missing += std::count_if(ids.begin(), ids.end(), [&](auto id) { return !seen.count(id); });
    }
    EXPECT_EQ(missing, 0u);
    EXPECT_EQ(seen.size(), replayed.size());
    EXPECT_EQ(store->Statistics().backlog, 0u);
    store.reset();
    store = MessageStore::Open(FileConfig(directory.File("store.db"), 1), 100000, &error);
    EXPECT_TRUE(store->Unsent(0, 10).empty());
}

}  // namespace
}  // namespace jwgate
