#include "tools/jwgate/store/kept_values.h"

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/sqlite_statement.h"

namespace jwgate {

int KeptValues::Open(const std::string& path) {
    std::lock_guard lock(mutex_);
    path_ = path;
    return db_.Open(path, SQLITE_OPEN_READWRITE);
}

std::optional<std::int64_t> KeptValues::Get(const std::string& name) {
    std::lock_guard lock(mutex_);
    SqliteStatement query;
    int code = query.Prepare(db_, "SELECT value FROM kept WHERE name = ?1");
    if (code == SQLITE_OK) {
        query.Bind(1, name);
        code = query.Step();
    }
    if (code == SQLITE_ROW) return query.Integer(0);
    if (code != SQLITE_DONE) Log(LogLevel::kError, "store: " + path_ + ": cannot read " + name + ": " + db_.Error());
    return std::nullopt;
}

bool KeptValues::Set(const std::string& name, std::int64_t value) {
    std::lock_guard lock(mutex_);
    SqliteStatement update;
    int code = update.Prepare(db_, "INSERT INTO kept (name, value) VALUES (?1, ?2)"
                                   " ON CONFLICT (name) DO UPDATE SET value = excluded.value");
    if (code == SQLITE_OK) {
        update.Bind(1, name);
        update.Bind(2, value);
        code = update.Run();
    }
    if (code == SQLITE_OK || code == SQLITE_DONE) return true;
    Log(LogLevel::kError, "store: " + path_ + ": cannot keep " + name + ": " + db_.Error());
    return false;
}

}  // namespace jwgate
