// A reading connection to the store (WAL: it never waits for a commit).
// Not thread-safe: each user (replay, history) has its own, or locks.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/jwgate/store/id_ranges.h"
#include "tools/jwgate/store/sqlite_connection.h"
#include "tools/jwgate/store/sqlite_statement.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

class StoreFileReader {
public:
    // The file must be a store already.
    int Open(const std::string& path);

    // Up to max rows still to send on lane with an id above after, oldest
    // first, appended to *messages.
    int Unsent(std::uint64_t after, std::size_t max, StoreLanes lane, std::vector<StoredMessage>* messages);
    int History(const std::string& point, std::int64_t fromMs, std::int64_t toMs, std::size_t limit,
                std::vector<HistoryRow>* rows);
    // Every id still to send on any of lanes.
    int UnsentIds(StoreLanes lanes, IdRanges* ids);

    std::string Error() const { return db_.Error(); }

private:
    SqliteConnection db_;
    SqliteStatement unsent_, history_;
};

}  // namespace jwgate
