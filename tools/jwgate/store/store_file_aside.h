// A damaged store is never emptied where it lies: it is renamed, with its
// write-ahead log, for someone to look at, and a new one takes its place.
#pragma once

#include <string>

namespace jwgate {

// "<path>.corrupt-20261208T121500Z" for a file moved aside now.
std::string CorruptName(const std::string& path);
// Renames path and its "-wal" to CorruptName(path) (and "-wal"), and
// removes its "-shm"; the new name, or empty with *error.
std::string MoveStoreAside(const std::string& path, std::string* error);

}  // namespace jwgate
