// What the store keeps through a kill -9, a small max_mb and a full file
// system, counted from outside: what went in against what comes out.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "jwgate/small_file_system.h"
#include "jwgate/store_test_support.h"

namespace jwgate {
namespace {

using namespace store_test;

// Ids from first on, each once, each reading's value its id.
void ExpectRun(const std::vector<StoredMessage>& messages, std::uint64_t first, std::uint64_t last) {
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front().id, first);
    EXPECT_EQ(messages.back().id, last);
    EXPECT_EQ(messages.size(), last - first + 1);
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < messages.size(); ++i) {
        wrong += messages[i].id != first + i || ValueOf(messages[i]) != static_cast<double>(messages[i].id);
    }
    EXPECT_EQ(wrong, 0u);
}

// The largest committed id the writer reported before the kill.
std::uint64_t ReadReports(int fd, std::uint64_t enough) {
    std::uint64_t committed = 0;
    std::string pending;
    char buffer[256];
    while (committed < enough) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(got));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            committed = std::max<std::uint64_t>(committed, std::stoull(pending.substr(0, end)));
            pending.erase(0, end + 1);
        }
    }
    return committed;
}

TEST(StoreDurability, EveryCommittedMessageSurvivesKill9InOrder) {
    TempDirectory directory;
    std::string path = directory.File("store.db");
    for (int round = 1; round <= 2; ++round) {
        SCOPED_TRACE(round);
        int pipeFds[2];
        ASSERT_EQ(pipe(pipeFds), 0);
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            close(pipeFds[0]);
            std::string fd = std::to_string(pipeFds[1]);
            execl(JWGATE_STORE_CRASH_WRITER, JWGATE_STORE_CRASH_WRITER, path.c_str(), fd.c_str(), nullptr);
            _exit(127);
        }
        close(pipeFds[1]);
        std::uint64_t committed = ReadReports(pipeFds[0], 3000u * round);
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
        close(pipeFds[0]);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped on its own, status " << status;
        ASSERT_GE(committed, 3000u * round);
        std::string error;
        auto store = MessageStore::Open(FileConfig(path), 1000, &error);
        ASSERT_NE(store, nullptr) << error;
        auto unsent = store->Unsent(0, 10'000'000);
        // The second writer starts its count again: its readings go on
        // after the first's rows, the ids never given twice.
        if (round == 1) {
            ExpectRun(unsent, 1, std::max<std::uint64_t>(committed, unsent.back().id));
        } else {
            EXPECT_GE(unsent.size(), committed);
        }
        EXPECT_EQ(store->Statistics().backlog, unsent.size());
    }
}

TEST(StoreDurability, PastMaxMbTheHistoryGoesThenTheOldestUnsentCounted) {
    TempDirectory directory;
    StoreLog log;
    StoreConfig config = FileConfig(directory.File("store.db"), 10);
    config.maxMb = 1;
    std::string error;
    auto store = MessageStore::Open(config, 1'000'000, &error);
    ASSERT_NE(store, nullptr) << error;
    for (int n = 1; n <= 5000; ++n) store->Acknowledge(store->Append(Counter(n, "history")));
    constexpr int kUnsent = 40000;
    std::uint64_t first = 0;
    for (int n = 1; n <= kUnsent; ++n) {
        std::uint64_t id = store->Append(Counter(n));
        if (first == 0) first = id;
    }
    ASSERT_TRUE(WaitFor([&] { return log.Count("no longer dropping") == 1; })) << DescribeStore(config);
    auto statistics = store->Statistics();
    auto unsent = store->Unsent(0, 1'000'000);
    ASSERT_FALSE(unsent.empty());
    EXPECT_GT(statistics.dropped, 0u);
    EXPECT_EQ(unsent.size() + statistics.dropped, static_cast<std::size_t>(kUnsent));
    EXPECT_EQ(unsent.back().id, first + kUnsent - 1);
    EXPECT_EQ(unsent.back().id - unsent.front().id + 1, unsent.size());
    EXPECT_LE(statistics.bytes, 1024u * 1024u);
    EXPECT_TRUE(store->History("history", 0, INT64_MAX, 10).empty());
    EXPECT_EQ(log.Count("store: " + config.path + ": dropping the oldest unsent messages: the store reached max_mb"), 1u);
    EXPECT_EQ(log.Count(std::to_string(statistics.dropped) + " unsent messages lost"), 1u);
}

TEST(StoreDurability, OnAFullFileSystemAppendsGoOnDroppingCountedAndCommitAgainWhenThereIsRoom) {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    TempDirectory directory;
    const test::SmallFileSystem disk(directory.path(), "4m");
    ASSERT_TRUE(disk.mounted());
    StoreLog log;
    StoreConfig config = FileConfig(directory.File("store.db"), 10);
    std::string error;
    auto store = MessageStore::Open(config, 2000, &error);
    ASSERT_NE(store, nullptr) << error;
    constexpr int kBefore = 500, kDuring = 20000, kAfter = 100;
    int appended = 0;
    while (appended < kBefore) store->Append(Counter(++appended));
    std::string committed = config.path + ": " + std::to_string(kBefore) + " messages unsent";
    ASSERT_TRUE(WaitFor([&] { return DescribeStore(config).rfind(committed, 0) == 0; }));
    disk.Fill();
    while (appended < kBefore + kDuring) {
        store->Append(Counter(++appended));
        if (appended % 200 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ASSERT_TRUE(WaitFor([&] { return !store->Statistics().fault.empty(); }));
    EXPECT_EQ(log.Count("store: " + config.path + ": fault: the disk refuses to write"), 1u);
    disk.Empty();
    ASSERT_TRUE(WaitFor([&] { return store->Statistics().fault.empty(); }));
    EXPECT_EQ(log.Count("commits again"), 1u);
    while (appended < kBefore + kDuring + kAfter) store->Append(Counter(++appended));
    auto dropped = store->Statistics().dropped;
    EXPECT_GT(dropped, 0u);

    store.reset();
    store = MessageStore::Open(config, 2000, &error);
    ASSERT_NE(store, nullptr) << error;
    auto unsent = store->Unsent(0, 1'000'000);
    EXPECT_EQ(unsent.size() + dropped, static_cast<std::size_t>(appended));
    ASSERT_GE(unsent.size(), static_cast<std::size_t>(kBefore + kAfter));
    ExpectRun({unsent.begin(), unsent.begin() + kBefore}, 1, kBefore);
    ExpectRun({unsent.end() - kAfter, unsent.end()}, appended - kAfter + 1, appended);
}

}  // namespace
}  // namespace jwgate
