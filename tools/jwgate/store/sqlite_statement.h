// One prepared statement, finalized with its owner. Bind numbers from 1,
// columns from 0, as SQLite does; Step answers SQLITE_ROW, SQLITE_DONE or
// an error code.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

namespace jwgate {

class SqliteConnection;

class SqliteStatement {
public:
    SqliteStatement() = default;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;
    SqliteStatement(SqliteStatement&& other) noexcept : statement_(other.statement_) { other.statement_ = nullptr; }
    SqliteStatement& operator=(SqliteStatement&&) = delete;
    ~SqliteStatement() { sqlite3_finalize(statement_); }

    int Prepare(SqliteConnection& connection, const std::string& sql);
    bool IsPrepared() const { return statement_ != nullptr; }
    // Clears the bindings and the last run, ready for the next.
    void Reset();

    void Bind(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void Bind(int index, const std::optional<double>& value);
    void Bind(int index, const std::string& text) {
        sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    void BindBlob(int index, const std::string& bytes) {
        sqlite3_bind_blob(statement_, index, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    void BindNull(int index) { sqlite3_bind_null(statement_, index); }

    int Step() { return sqlite3_step(statement_); }
    // Runs a statement that answers no rows, then resets it.
    int Run();

    bool IsNull(int column) const { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t Integer(int column) const { return sqlite3_column_int64(statement_, column); }
    double Real(int column) const { return sqlite3_column_double(statement_, column); }
    std::optional<double> OptionalReal(int column) const;
    std::string Text(int column) const;  // text or blob, byte for byte

private:
    sqlite3_stmt* statement_ = nullptr;
};

}  // namespace jwgate
