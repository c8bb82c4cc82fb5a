#include "tools/jwgate/store/sqlite_connection.h"

#include "tools/jwgate/store/sqlite_statement.h"

namespace jwgate {

SqliteConnection& SqliteConnection::operator=(SqliteConnection&& other) noexcept {
    if (this != &other) {
        Close();
        db_ = other.db_;
        other.db_ = nullptr;
    }
    return *this;
}

int SqliteConnection::Open(const std::string& path, int flags) {
    Close();
    int code = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (code == SQLITE_OK) {
        sqlite3_extended_result_codes(db_, 1);
        // Another connection of ours holds the write lock for a commit at most.
        sqlite3_busy_timeout(db_, 5000);
    }
    return code;
}

void SqliteConnection::Close() {
    if (db_ != nullptr) {
        sqlite3_close_v2(db_);
        db_ = nullptr;
    }
}

int SqliteConnection::Exec(const std::string& sql) {
    if (db_ == nullptr) return SQLITE_MISUSE;
    return sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr);
}

int SqliteConnection::QueryInteger(const std::string& sql, std::int64_t* value) {
    SqliteStatement statement;
    int code = statement.Prepare(*this, sql);
    if (code != SQLITE_OK) return code;
    code = statement.Step();
    if (code == SQLITE_ROW) {
        *value = statement.Integer(0);
        return SQLITE_OK;
    }
    return code == SQLITE_DONE ? SQLITE_OK : code;
}

std::string SqliteConnection::Error() const {
    return db_ == nullptr ? "not open" : sqlite3_errmsg(db_);
}

bool IsDiskRefusal(int code) {
    int primary = code & 0xff;
    return primary == SQLITE_FULL || primary == SQLITE_IOERR;
}

bool IsCorruption(int code) {
    int primary = code & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

}  // namespace jwgate
