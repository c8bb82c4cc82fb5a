#include "tools/jwgate/store/store_file_writer.h"

#include "tools/jwgate/store/store_schema.h"

namespace jwgate {

namespace {

std::int64_t QualityCode(Quality quality) {
    switch (quality) {
    case Quality::kGood: return 0;
    case Quality::kStale: return 2;
    case Quality::kBad: break;
    }
    return 1;
}

}  // namespace

int StoreFileWriter::Prepare(std::uint64_t maxBytes) {
    // WAL: readers (replay, history) never wait for a commit. synchronous=FULL
    // syncs the log at every commit, so that a commit the store has made
    // survives a power cut; NORMAL would sync only at checkpoints and could
    // lose the last commits, which the bridge may already count as kept.
    int code = db_.Exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL;");
    std::int64_t pageSize = 4096;
    if (code == SQLITE_OK) code = db_.QueryInteger("PRAGMA page_size", &pageSize);
    // The hard cap under max_mb's pruning: a quarter above it, never reached
    // while pruning keeps up.
    std::uint64_t capPages = maxBytes / static_cast<std::uint64_t>(pageSize) * 5 / 4 + 64;
    if (code == SQLITE_OK) code = db_.Exec("PRAGMA max_page_count = " + std::to_string(capPages));
    if (code == SQLITE_OK) code = PrepareStatements();
    SqliteStatement points;
    if (code == SQLITE_OK) code = points.Prepare(db_, "SELECT id, name FROM points");
    while (code == SQLITE_OK && (code = points.Step()) == SQLITE_ROW) {
        points_.emplace(points.Text(1), points.Integer(0));
        code = SQLITE_OK;
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int StoreFileWriter::Restart(SqliteConnection db, std::uint64_t maxBytes) {
    // The old connection closes once Prepare has finalized its statements.
    db_ = std::move(db);
    points_.clear();
    return Prepare(maxBytes);
}

int StoreFileWriter::PrepareStatements() {
    int code = insert_.Prepare(db_,
        "INSERT INTO messages (id, produced, unsent, point, value, quality, read, topic, payload, correlation,"
        " response_topic) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)");
    if (code == SQLITE_OK) code = insertPoint_.Prepare(db_, "INSERT INTO points (name) VALUES (?1)");
    if (code == SQLITE_OK) {
        code = clearLane_.Prepare(db_, "UPDATE messages SET unsent = unsent & ~?2 WHERE id = ?1 AND unsent & ?2");
    }
    // An acknowledged answer is done with; so is a reading without history.
    if (code == SQLITE_OK) {
        code = deleteDone_.Prepare(db_, "DELETE FROM messages WHERE id = ?1 AND unsent = 0 AND (point IS NULL OR ?2)");
    }
    if (code == SQLITE_OK) {
        code = raiseSequence_.Prepare(db_, "UPDATE sqlite_sequence SET seq = max(seq, ?1) WHERE name = 'messages'");
    }
    return code;
}

int StoreFileWriter::NextId(std::uint64_t* next) {
    std::int64_t sequence = 0;
    std::int64_t largest = 0;
    int code = db_.QueryInteger("SELECT seq FROM sqlite_sequence WHERE name = 'messages'", &sequence);
    if (code == SQLITE_OK) code = db_.QueryInteger("SELECT max(id) FROM messages", &largest);
    *next = static_cast<std::uint64_t>(std::max(sequence, largest)) + 1;
    return code;
}

int StoreFileWriter::Commit(const std::vector<PendingMessage>& batch, const std::vector<LaneAcknowledgement>& acknowledged,
                            std::string* error) {
    pointsAdded_.clear();
    int code = db_.Exec("BEGIN IMMEDIATE");
    for (std::size_t i = 0; code == SQLITE_OK && i < batch.size(); ++i) code = Insert(batch[i]);
    for (std::size_t i = 0; code == SQLITE_OK && i < acknowledged.size(); ++i) code = Acknowledge(acknowledged[i]);
    if (code == SQLITE_OK && !batch.empty()) code = KeepIdsGiven(batch.back().message.id);
    if (code == SQLITE_OK) code = db_.Exec("COMMIT");
    if (code != SQLITE_OK) {
        *error = db_.Error();
        // SQLite may have rolled back already (a full disk does).
        if (!sqlite3_get_autocommit(db_.get())) db_.Exec("ROLLBACK");
        for (const auto& name : pointsAdded_) points_.erase(name);
    }
    return code;
}

int StoreFileWriter::Insert(const PendingMessage& pending) {
    const StoredMessage& message = pending.message;
    const auto* reading = std::get_if<StoredReading>(&message.body);
    // An answer acknowledged before its commit is done with already; so is
    // a reading when no history is kept.
    if (pending.unsent == 0 && (reading == nullptr || !keepHistory_)) return SQLITE_OK;
    insert_.Bind(1, static_cast<std::int64_t>(message.id));
    insert_.Bind(2, message.producedMs);
    insert_.Bind(3, static_cast<std::int64_t>(pending.unsent));
    if (reading != nullptr) {
        std::int64_t point = 0;
        int code = PointId(reading->point, &point);
        if (code != SQLITE_OK) {
            insert_.Reset();
            return code;
        }
        insert_.Bind(4, point);
        insert_.Bind(5, reading->value);
        insert_.Bind(6, QualityCode(reading->quality));
        insert_.Bind(7, reading->readMs);
    } else {
        const auto& answer = std::get<StoredAnswer>(message.body);
        insert_.Bind(8, answer.topic);
        insert_.BindBlob(9, answer.payload);
        insert_.BindBlob(10, answer.correlation);
        insert_.Bind(11, answer.responseTopic);
    }
    return insert_.Run();
}

int StoreFileWriter::KeepIdsGiven(std::uint64_t last) {
    // A message acknowledged before its commit leaves no row, but its id is
    // given: AUTOINCREMENT's record of the largest id must know it.
    raiseSequence_.Bind(1, static_cast<std::int64_t>(last));
    int code = raiseSequence_.Run();
    if (code != SQLITE_OK || sqlite3_changes(db_.get()) > 0) return code;
    std::int64_t known = 0;
    code = db_.QueryInteger("SELECT count(*) FROM sqlite_sequence WHERE name = 'messages'", &known);
    if (code != SQLITE_OK || known > 0) return code;
    return db_.Exec("INSERT INTO sqlite_sequence (name, seq) VALUES ('messages', " + std::to_string(last) + ")");
}

int StoreFileWriter::PointId(const std::string& name, std::int64_t* id) {
    auto known = points_.find(name);
    if (known != points_.end()) {
        *id = known->second;
        return SQLITE_OK;
    }
    insertPoint_.Bind(1, name);
    int code = insertPoint_.Run();
    if (code != SQLITE_OK) return code;
    *id = sqlite3_last_insert_rowid(db_.get());
    points_.emplace(name, *id);
    pointsAdded_.push_back(name);
    return SQLITE_OK;
}

int StoreFileWriter::Acknowledge(const LaneAcknowledgement& acknowledgement) {
    clearLane_.Bind(1, static_cast<std::int64_t>(acknowledgement.id));
    clearLane_.Bind(2, static_cast<std::int64_t>(acknowledgement.lanes));
    int code = clearLane_.Run();
    if (code != SQLITE_OK) return code;
    deleteDone_.Bind(1, static_cast<std::int64_t>(acknowledgement.id));
    deleteDone_.Bind(2, std::int64_t {keepHistory_ ? 0 : 1});
    return deleteDone_.Run();
}

int StoreFileWriter::UsedBytes(std::uint64_t* bytes) {
    std::int64_t pages = 0;
    std::int64_t freePages = 0;
    std::int64_t pageSize = 0;
    int code = db_.QueryInteger("PRAGMA page_count", &pages);
    if (code == SQLITE_OK) code = db_.QueryInteger("PRAGMA freelist_count", &freePages);
    if (code == SQLITE_OK) code = db_.QueryInteger("PRAGMA page_size", &pageSize);
    if (code == SQLITE_OK) *bytes = static_cast<std::uint64_t>((pages - freePages) * pageSize);
    return code;
}

int StoreFileWriter::ProducedOf(std::uint64_t id, std::int64_t* producedMs) {
    return db_.QueryInteger("SELECT produced FROM messages WHERE id = " + std::to_string(id), producedMs);
}

int StoreFileWriter::LastUnsentBefore(std::int64_t cutoffMs, std::uint64_t* last) {
    // Oldest first along the unsent index, stopping at the first young one:
    // the rows read are the ones about to go.
    SqliteStatement scan;
    int code = scan.Prepare(db_, "SELECT id, produced FROM messages INDEXED BY messages_unsent WHERE unsent <> 0"
                                 " ORDER BY id");
    *last = 0;
    while (code == SQLITE_OK && (code = scan.Step()) == SQLITE_ROW) {
        if (scan.Integer(1) >= cutoffMs) return SQLITE_OK;
        *last = static_cast<std::uint64_t>(scan.Integer(0));
        code = SQLITE_OK;
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int StoreFileWriter::NthOldestUnsent(std::uint64_t count, std::uint64_t* id) {
    std::int64_t found = 0;
    int code = db_.QueryInteger("SELECT max(id) FROM (SELECT id FROM messages INDEXED BY messages_unsent"
                                " WHERE unsent <> 0 ORDER BY id LIMIT " + std::to_string(count) + ")", &found);
    *id = static_cast<std::uint64_t>(found);
    return code;
}

int StoreFileWriter::DeleteUnsentUpTo(std::uint64_t last) {
    return db_.Exec("DELETE FROM messages WHERE id <= " + std::to_string(last) + " AND unsent <> 0");
}

int StoreFileWriter::DeleteOldestSent(std::uint64_t count, std::uint64_t* deleted) {
    int code = db_.Exec("DELETE FROM messages WHERE id IN (SELECT id FROM messages WHERE unsent = 0 ORDER BY id"
                        " LIMIT " + std::to_string(count) + ")");
    *deleted = code == SQLITE_OK ? static_cast<std::uint64_t>(sqlite3_changes64(db_.get())) : 0;
    return code;
}

int StoreFileWriter::DeleteSentBefore(std::int64_t cutoffMs, std::uint64_t* deleted) {
    // Rows are in order of production: the first young row bounds the old.
    int code = db_.Exec("DELETE FROM messages WHERE unsent = 0 AND id < coalesce((SELECT id FROM messages"
                        " WHERE produced >= " + std::to_string(cutoffMs) + " ORDER BY id LIMIT 1), 1 << 62)");
    *deleted = code == SQLITE_OK ? static_cast<std::uint64_t>(sqlite3_changes64(db_.get())) : 0;
    return code;
}

}  // namespace jwgate
