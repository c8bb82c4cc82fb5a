// Which store a configuration gets, and what happens to a file that is not
// a sound jwgate store.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/file_message_store.h"
#include "tools/jwgate/store/memory_message_store.h"
#include "tools/jwgate/store/store_file_aside.h"
#include "tools/jwgate/store/store_schema.h"

namespace jwgate {

namespace {

bool PrepareDirectory(const std::string& path, std::string* error) {
    std::filesystem::path directory = std::filesystem::path(path).parent_path();
    if (directory.empty()) directory = ".";
    std::error_code failure;
    std::filesystem::create_directories(directory, failure);
    if (failure) {
        *error = path + ": cannot create the directory " + directory.string() + " (" + failure.message() + ")";
        return false;
    }
    // SQLite writes its log and shared memory file beside the database.
    if (access(directory.c_str(), W_OK | X_OK) != 0) {
        *error = path + ": cannot write in " + directory.string() + " (" + std::strerror(errno) + ")";
        return false;
    }
    return true;
}

StoreFileCheck CheckFile(const std::string& path) {
    SqliteConnection db;
    int code = db.Open(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (code != SQLITE_OK) {
        return StoreFileCheck {IsCorruption(code) ? StoreFileState::kCorrupt : StoreFileState::kUnreadable, db.Error()};
    }
    StoreFileCheck check = CheckStoreFile(db);
    if (check.state == StoreFileState::kEmpty && CreateStoreSchema(db) != SQLITE_OK) {
        StoreFileState state = IsCorruption(sqlite3_errcode(db.get())) ? StoreFileState::kCorrupt
                                                                         : StoreFileState::kUnreadable;
        return StoreFileCheck {state, db.Error()};
    }
    return check;
}

// A file found damaged is moved aside and a new one checked in its place.
bool ReplaceIfCorrupt(const std::string& path, StoreFileCheck* check, std::string* error) {
    if (check->state != StoreFileState::kCorrupt) return true;
    std::string aside = MoveStoreAside(path, error);
    if (aside.empty()) {
        *error = path + ": " + check->why + ", and it " + *error;
        return false;
    }
    Log(LogLevel::kError, "store: " + path + ": " + check->why + "; moved aside to " + aside + ", a new store started");
    *check = CheckFile(path);
    return true;
}

// A full or failing disk must not keep the scan and Modbus from starting:
// the messages wait in memory meanwhile, as without a store.
std::unique_ptr<MessageStore> InMemoryInstead(std::size_t queueMax, const std::string& why) {
    Log(LogLevel::kError, "store: " + why + "; up to " + std::to_string(queueMax) +
                              " messages wait in memory for the broker instead, lost at a restart");
    return std::make_unique<MemoryMessageStore>(queueMax);
}

}  // namespace

std::unique_ptr<MessageStore> MessageStore::Open(const StoreConfig& config, std::size_t queueMax, std::string* error) {
    if (!config.enabled) {
        Log(LogLevel::kInfo, "store: none ([store] not set): up to " + std::to_string(queueMax) +
                                 " messages wait in memory for the broker, lost at a restart");
        return std::make_unique<MemoryMessageStore>(queueMax);
    }
    if (!PrepareDirectory(config.path, error)) return nullptr;
    StoreFileCheck check = CheckFile(config.path);
    if (!ReplaceIfCorrupt(config.path, &check, error)) return nullptr;
    switch (check.state) {
    case StoreFileState::kStore:
    case StoreFileState::kEmpty:
        if (auto store = FileMessageStore::Start(config, queueMax, error)) return store;
        return InMemoryInstead(queueMax, *error);
    case StoreFileState::kForeign:
        *error = config.path + ": not a jwgate store: " + check.why;
        return nullptr;
    case StoreFileState::kCorrupt:
    case StoreFileState::kUnreadable:
        break;
    }
    return InMemoryInstead(queueMax, config.path + ": cannot be used as a store (" + check.why + ")");
}

}  // namespace jwgate
