// One connection to a SQLite file, closed with its owner; no exceptions:
// every call answers SQLite's result code, and Error() words the last one.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>

namespace jwgate {

class SqliteConnection {
public:
    SqliteConnection() = default;
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;
    SqliteConnection(SqliteConnection&& other) noexcept : db_(other.db_) { other.db_ = nullptr; }
    SqliteConnection& operator=(SqliteConnection&& other) noexcept;
    ~SqliteConnection() { Close(); }

    // flags: SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, SQLITE_OPEN_READONLY...
    int Open(const std::string& path, int flags);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }
    sqlite3* get() const { return db_; }

    // Runs statements that answer no rows.
    int Exec(const std::string& sql);
    // The first column of the first row of a query answering one integer;
    // its result code, *value untouched without a row.
    int QueryInteger(const std::string& sql, std::int64_t* value);
    std::string Error() const;

private:
    sqlite3* db_ = nullptr;
};

// SQLITE_FULL, or an I/O error on the way to the disk: the disk refuses.
bool IsDiskRefusal(int code);
// The file is not a database, or a page of it is damaged.
bool IsCorruption(int code);

}  // namespace jwgate
