#include "tools/jwgate/store/store_file_reader.h"

#include "tools/jwgate/store/store_schema.h"

namespace jwgate {

namespace {

Quality QualityOf(std::int64_t code) {
    switch (code) {
    case 0: return Quality::kGood;
    case 2: return Quality::kStale;
    default: return Quality::kBad;
    }
}

StoredMessage MessageOfRow(const SqliteStatement& row) {
    StoredMessage message;
    message.id = static_cast<std::uint64_t>(row.Integer(0));
    message.producedMs = row.Integer(1);
    if (!row.IsNull(2)) {
        message.body = StoredReading {row.Text(2), row.OptionalReal(3), QualityOf(row.Integer(4)), row.Integer(5)};
    } else {
        message.body = StoredAnswer {row.Text(6), row.Text(7), row.Text(8), row.Text(9)};
    }
    return message;
}

}  // namespace

int StoreFileReader::Open(const std::string& path) {
    int code = db_.Open(path, SQLITE_OPEN_READWRITE);
    if (code == SQLITE_OK) code = db_.Exec("PRAGMA query_only = 1");
    if (code == SQLITE_OK) {
        code = unsent_.Prepare(db_,
            "SELECT m.id, m.produced, p.name, m.value, m.quality, m.read, m.topic, m.payload, m.correlation,"
            " m.response_topic FROM messages AS m INDEXED BY messages_unsent LEFT JOIN points AS p ON p.id = m.point"
            " WHERE m.unsent <> 0 AND m.unsent & ?3 AND m.id > ?1"
            " ORDER BY m.id LIMIT ?2");
    }
    if (code == SQLITE_OK) {
        code = history_.Prepare(db_,
            "SELECT m.read, m.value, m.quality FROM messages AS m"
            " WHERE m.point = (SELECT id FROM points WHERE name = ?1) AND m.read BETWEEN ?2 AND ?3"
            " ORDER BY m.read LIMIT ?4");
    }
    return code;
}

int StoreFileReader::Unsent(std::uint64_t after, std::size_t max, StoreLanes lane,
                            std::vector<StoredMessage>* messages) {
    unsent_.Bind(1, static_cast<std::int64_t>(after));
    unsent_.Bind(2, static_cast<std::int64_t>(max));
    unsent_.Bind(3, static_cast<std::int64_t>(lane));
    int code = SQLITE_OK;
    while ((code = unsent_.Step()) == SQLITE_ROW) messages->push_back(MessageOfRow(unsent_));
    unsent_.Reset();
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int StoreFileReader::History(const std::string& point, std::int64_t fromMs, std::int64_t toMs, std::size_t limit,
                             std::vector<HistoryRow>* rows) {
    history_.Bind(1, point);
    history_.Bind(2, fromMs);
    history_.Bind(3, toMs);
    history_.Bind(4, static_cast<std::int64_t>(limit));
    int code = SQLITE_OK;
    while ((code = history_.Step()) == SQLITE_ROW) {
        rows->push_back(HistoryRow {history_.Integer(0), history_.OptionalReal(1), QualityOf(history_.Integer(2))});
    }
    history_.Reset();
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

int StoreFileReader::UnsentIds(StoreLanes lanes, IdRanges* ids) {
    SqliteStatement scan;
    int code = scan.Prepare(db_, "SELECT id FROM messages INDEXED BY messages_unsent WHERE unsent <> 0 AND unsent & " +
                                     std::to_string(lanes) + " ORDER BY id");
    while (code == SQLITE_OK && (code = scan.Step()) == SQLITE_ROW) {
        ids->Add(static_cast<std::uint64_t>(scan.Integer(0)));
        code = SQLITE_OK;
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

}  // namespace jwgate
