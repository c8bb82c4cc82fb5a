// What makes a SQLite file a jwgate store: our application_id, the schema's
// version in user_version, and its tables. A message row holds a reading
// (its point as a small integer into points, to keep rows short) or an
// answer; unsent is a mask of the lanes (StoreLanes) still to send it. kept holds the
// few numbers the gateway carries across restarts (a session counter).
#pragma once

#include <cstdint>
#include <string>

#include "tools/jwgate/store/sqlite_connection.h"

namespace jwgate {

inline constexpr std::int64_t kStoreApplicationId = 0x4a574753;  // "JWGS"
inline constexpr std::int64_t kStoreSchemaVersion = 1;

enum class StoreFileState {
    kStore,       // ours, sound
    kEmpty,       // a new file, or a database without tables: ours to fill
    kForeign,     // another application's database, or a schema we do not know
    kCorrupt,     // not a database, or damaged
    kUnreadable,  // cannot be read at all (permissions...)
};

struct StoreFileCheck {
    StoreFileState state = StoreFileState::kUnreadable;
    std::string why;  // for anything but kStore and kEmpty
};

// Reads the header and the schema, and checks the pages of a store.
StoreFileCheck CheckStoreFile(SqliteConnection& db);
// Writes the tables and the header fields, in one transaction.
int CreateStoreSchema(SqliteConnection& db);

}  // namespace jwgate
