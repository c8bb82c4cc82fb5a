// jwgate --check's line about the store, read without writing anything.
#include <cstdio>
#include <filesystem>

#include "tools/jwgate/store/message_store.h"
#include "tools/jwgate/store/store_schema.h"

namespace jwgate {

namespace {

std::string Megabytes(std::int64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

// SQLite's URI of a file, which no query part can follow.
std::string FileUri(const std::string& path) {
    std::string uri = "file:";
    for (char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

// Without a write-ahead log the file is all there is, and nobody is writing
// it: read it as immutable, which creates no log and no shared memory file
// beside it. With one, a reader joins it read-only.
int OpenToRead(const std::string& path, SqliteConnection* db) {
    std::error_code failure;
    if (std::filesystem::exists(path + "-wal", failure)) return db->Open(path, SQLITE_OPEN_READONLY);
    return db->Open(FileUri(path) + "?immutable=1", SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
}

}  // namespace

std::string DescribeStore(const StoreConfig& config) {
    if (!config.enabled) return "no [store]: messages wait in memory for the broker, lost at a restart";
    std::error_code failure;
    if (!std::filesystem::exists(config.path, failure)) return config.path + ": does not exist yet";
    SqliteConnection db;
    int code = OpenToRead(config.path, &db);
    if (code != SQLITE_OK) return config.path + ": cannot be read (" + db.Error() + ")";
    StoreFileCheck check = CheckStoreFile(db);
    if (check.state == StoreFileState::kEmpty) return config.path + ": empty, not yet a jwgate store";
    if (check.state != StoreFileState::kStore) return config.path + ": " + check.why;
    std::int64_t unsent = 0;
    std::int64_t all = 0;
    std::int64_t pages = 0;
    std::int64_t freePages = 0;
    std::int64_t pageSize = 0;
    code = db.QueryInteger("SELECT count(*) FROM messages INDEXED BY messages_unsent WHERE unsent <> 0", &unsent);
    if (code == SQLITE_OK) code = db.QueryInteger("SELECT count(*) FROM messages", &all);
    if (code == SQLITE_OK) code = db.QueryInteger("PRAGMA page_count", &pages);
    if (code == SQLITE_OK) code = db.QueryInteger("PRAGMA freelist_count", &freePages);
    if (code == SQLITE_OK) code = db.QueryInteger("PRAGMA page_size", &pageSize);
    if (code != SQLITE_OK) return config.path + ": cannot be read (" + db.Error() + ")";
    return config.path + ": " + std::to_string(unsent) + " messages unsent, " + std::to_string(all - unsent) +
           " kept, " + Megabytes((pages - freePages) * pageSize);
}

}  // namespace jwgate
