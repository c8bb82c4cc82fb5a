#include "tools/jwgate/store/store_schema.h"

#include <cstdio>

#include "tools/jwgate/store/sqlite_statement.h"

namespace jwgate {

namespace {

StoreFileCheck Failed(SqliteConnection& db, int code) {
    StoreFileState state = IsCorruption(code) ? StoreFileState::kCorrupt : StoreFileState::kUnreadable;
    return StoreFileCheck {state, db.Error()};
}

std::string Hex(std::int64_t value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llx", static_cast<unsigned long long>(value) & 0xffffffffULL);
    return text;
}

// PRAGMA quick_check's first line: "ok", or what is damaged.
StoreFileCheck QuickCheck(SqliteConnection& db) {
    SqliteStatement check;
    int code = check.Prepare(db, "PRAGMA quick_check(1)");
    if (code == SQLITE_OK) code = check.Step();
    if (code != SQLITE_ROW) return Failed(db, code);
    std::string verdict = check.Text(0);
    if (verdict == "ok") return StoreFileCheck {StoreFileState::kStore, ""};
    return StoreFileCheck {StoreFileState::kCorrupt, "damaged: " + verdict};
}

}  // namespace

StoreFileCheck CheckStoreFile(SqliteConnection& db) {
    std::int64_t applicationId = 0;
    std::int64_t version = 0;
    std::int64_t tables = 0;
    int code = db.QueryInteger("PRAGMA application_id", &applicationId);
    if (code == SQLITE_OK) code = db.QueryInteger("PRAGMA user_version", &version);
    if (code == SQLITE_OK) {
        code = db.QueryInteger("SELECT count(*) FROM sqlite_schema WHERE name NOT LIKE 'sqlite_%'", &tables);
    }
    if (code != SQLITE_OK) return Failed(db, code);
    if (applicationId == 0 && tables == 0) return StoreFileCheck {StoreFileState::kEmpty, ""};
    if (applicationId == 0) {
        return StoreFileCheck {StoreFileState::kForeign, "a SQLite database with tables of its own, not a jwgate store"};
    }
    if (applicationId != kStoreApplicationId) {
        return StoreFileCheck {StoreFileState::kForeign,
                               "another application's SQLite database (application_id " + Hex(applicationId) + ")"};
    }
    if (version != kStoreSchemaVersion) {
        return StoreFileCheck {StoreFileState::kForeign,
                               "a jwgate store of schema version " + std::to_string(version) + ", which this jwgate "
                               "does not know (it knows " + std::to_string(kStoreSchemaVersion) + ")"};
    }
    return QuickCheck(db);
}

int CreateStoreSchema(SqliteConnection& db) {
    const std::string schema =
        "BEGIN IMMEDIATE;"
        "PRAGMA application_id = " + std::to_string(kStoreApplicationId) + ";"
        "PRAGMA user_version = " + std::to_string(kStoreSchemaVersion) + ";"
        "CREATE TABLE points (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE);"
        // AUTOINCREMENT: an id is never given twice, even once its row is gone.
        "CREATE TABLE messages ("
        " id INTEGER PRIMARY KEY AUTOINCREMENT, produced INTEGER NOT NULL, unsent INTEGER NOT NULL,"
        " point INTEGER REFERENCES points (id), value REAL, quality INTEGER, read INTEGER,"
        " topic TEXT, payload BLOB, correlation BLOB, response_topic TEXT);"
        "CREATE INDEX messages_unsent ON messages (id) WHERE unsent <> 0;"
        "CREATE INDEX messages_history ON messages (point, read) WHERE point IS NOT NULL;"
        // Numbers the gateway keeps across restarts (the edge node's bdSeq).
        "CREATE TABLE kept (name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
        "COMMIT;";
    int code = db.Exec(schema);
    if (code != SQLITE_OK) db.Exec("ROLLBACK");
    return code;
}

}  // namespace jwgate
