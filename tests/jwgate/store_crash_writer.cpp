// For the store's kill -9 test: appends readings 1, 2, 3... to the store at
// argv[1] for ever, and writes on file descriptor argv[2], one line each
// time it grows, the largest id another connection sees committed.
#include <sqlite3.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "jwgate/store_test_support.h"

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: store_crash_writer STORE FD\n");
        return 64;
    }
    std::string error;
    auto store = jwgate::MessageStore::Open(jwgate::store_test::FileConfig(argv[1], 20), 1000000, &error);
    sqlite3* reader = nullptr;
    if (store == nullptr || sqlite3_open_v2(argv[1], &reader, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        std::fprintf(stderr, "store_crash_writer: %s\n", error.c_str());
        return 1;
    }
    sqlite3_stmt* largest = nullptr;
    sqlite3_prepare_v2(reader, "SELECT max(id) FROM messages", -1, &largest, nullptr);
    int fd = std::stoi(argv[2]);
    long long reported = 0;
    for (int n = 1;; ++n) {
        store->Append(jwgate::store_test::Counter(n));
        if (n % 20 != 0) continue;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        long long committed = sqlite3_step(largest) == SQLITE_ROW ? sqlite3_column_int64(largest, 0) : 0;
        sqlite3_reset(largest);
        if (committed > reported) {
            std::string line = std::to_string(committed) + "\n";
            if (write(fd, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return 1;
            reported = committed;
        }
    }
}
