// The ids of the messages not yet acknowledged, as runs of consecutive ids:
// ids are given in increasing order and mostly leave in the same order, so
// a backlog of millions is a handful of runs. Not thread-safe: its owner
// locks.
#pragma once

#include <cstdint>
#include <map>

namespace jwgate {

class IdRanges {
public:
    // id is above every id added before.
    void Add(std::uint64_t id);
    // False when id was not there.
    bool Erase(std::uint64_t id);
    // Erases every id up to last (included); how many there were.
    std::uint64_t EraseUpTo(std::uint64_t last);
    bool Contains(std::uint64_t id) const;
    // The smallest id above after; 0 without.
    std::uint64_t FirstAbove(std::uint64_t after) const;
    std::uint64_t Count() const { return count_; }
    bool Empty() const { return count_ == 0; }

private:
    std::map<std::uint64_t, std::uint64_t> runs_;  // first id -> last id, included
    std::uint64_t count_ = 0;
};

}  // namespace jwgate
