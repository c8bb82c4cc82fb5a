// The store file's few numbers kept across restarts (a session counter), by
// name, on a connection of their own: each is written at once, in its own
// transaction, never waiting for the next commit of the messages.
// Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>

#include "tools/jwgate/store/sqlite_connection.h"

namespace jwgate {

class KeptValues {
public:
    int Open(const std::string& path);
    // Nothing when never kept, or when the file cannot be read (logged).
    std::optional<std::int64_t> Get(const std::string& name);
    // False (logged) when the file refused it.
    bool Set(const std::string& name, std::int64_t value);

private:
    std::mutex mutex_;
    std::string path_;
    SqliteConnection db_;
};

}  // namespace jwgate
