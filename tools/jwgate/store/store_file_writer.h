// The store's writing connection, used by its commit thread alone: inserts
// a batch of messages and applies acknowledgements in one transaction, and
// the deletions the limits ask for.
#pragma once

#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "tools/jwgate/store/sqlite_connection.h"
#include "tools/jwgate/store/sqlite_statement.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

struct PendingMessage {
    StoredMessage message;
    StoreLanes unsent = kJsonLane;  // the lanes still to send it; 0: sent on each before its commit
};

// Lanes that took a message since the last commit.
struct LaneAcknowledgement {
    std::uint64_t id = 0;
    StoreLanes lanes = 0;
};

class StoreFileWriter {
public:
    // keepHistory: acknowledged readings stay (history_h above 0).
    StoreFileWriter(SqliteConnection db, bool keepHistory) : db_(std::move(db)), keepHistory_(keepHistory) {}

    // WAL, synchronous FULL, the page cap; the statements; the points known.
    int Prepare(std::uint64_t maxBytes);
    // The same on another file, this one let go.
    int Restart(SqliteConnection db, std::uint64_t maxBytes);
    // The id after the largest the file ever gave.
    int NextId(std::uint64_t* next);

    // One transaction; rolled back when any step fails, *error saying why.
    int Commit(const std::vector<PendingMessage>& batch, const std::vector<LaneAcknowledgement>& acknowledged,
               std::string* error);

    // Pages in use, in bytes (the file's free pages not counted).
    int UsedBytes(std::uint64_t* bytes);
    int ProducedOf(std::uint64_t id, std::int64_t* producedMs);
    // The last unsent id produced before cutoffMs, oldest first; 0 when none.
    int LastUnsentBefore(std::int64_t cutoffMs, std::uint64_t* last);
    // The id of the count-th oldest unsent message (the newest when fewer); 0 when none.
    int NthOldestUnsent(std::uint64_t count, std::uint64_t* id);
    int DeleteUnsentUpTo(std::uint64_t last);
    // Sent rows (the history) go, oldest first.
    int DeleteOldestSent(std::uint64_t count, std::uint64_t* deleted);
    int DeleteSentBefore(std::int64_t cutoffMs, std::uint64_t* deleted);

    std::string Error() const { return db_.Error(); }
    SqliteConnection& connection() { return db_; }

private:
    int PrepareStatements();
    int Insert(const PendingMessage& pending);
    int PointId(const std::string& name, std::int64_t* id);
    int Acknowledge(const LaneAcknowledgement& acknowledgement);
    int KeepIdsGiven(std::uint64_t last);

    SqliteConnection db_;
    bool keepHistory_;
    std::unordered_map<std::string, std::int64_t> points_;
    std::vector<std::string> pointsAdded_;  // in the open transaction
    SqliteStatement insert_, insertPoint_, clearLane_, deleteDone_, raiseSequence_;
};

}  // namespace jwgate
