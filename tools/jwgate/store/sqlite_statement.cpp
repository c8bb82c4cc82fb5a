#include "tools/jwgate/store/sqlite_statement.h"

#include "tools/jwgate/store/sqlite_connection.h"

namespace jwgate {

int SqliteStatement::Prepare(SqliteConnection& connection, const std::string& sql) {
    sqlite3_finalize(statement_);
    statement_ = nullptr;
    if (!connection.IsOpen()) return SQLITE_MISUSE;
    return sqlite3_prepare_v3(connection.get(), sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                              &statement_, nullptr);
}

void SqliteStatement::Reset() {
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

void SqliteStatement::Bind(int index, const std::optional<double>& value) {
    if (value) {
        sqlite3_bind_double(statement_, index, *value);
    } else {
        sqlite3_bind_null(statement_, index);
    }
}

int SqliteStatement::Run() {
    int code = Step();
    Reset();
    return code == SQLITE_DONE || code == SQLITE_ROW ? SQLITE_OK : code;
}

std::optional<double> SqliteStatement::OptionalReal(int column) const {
    if (IsNull(column)) return std::nullopt;
    return Real(column);
}

std::string SqliteStatement::Text(int column) const {
    const void* bytes = sqlite3_column_blob(statement_, column);
    int size = sqlite3_column_bytes(statement_, column);
    return bytes == nullptr ? std::string() : std::string(static_cast<const char*>(bytes), static_cast<std::size_t>(size));
}

}  // namespace jwgate
