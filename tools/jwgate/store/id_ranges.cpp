#include "tools/jwgate/store/id_ranges.h"

#include <iterator>

namespace jwgate {

void IdRanges::Add(std::uint64_t id) {
    if (!runs_.empty()) {
        auto last = std::prev(runs_.end());
        if (last->second + 1 == id) {
            last->second = id;
            ++count_;
            return;
        }
    }
    runs_.emplace(id, id);
    ++count_;
}

bool IdRanges::Erase(std::uint64_t id) {
    auto run = runs_.upper_bound(id);
    if (run == runs_.begin()) return false;
    --run;
    auto [first, last] = *run;
    if (id > last) return false;
    runs_.erase(run);
    if (first < id) runs_.emplace(first, id - 1);
    if (id < last) runs_.emplace(id + 1, last);
    --count_;
    return true;
}

std::uint64_t IdRanges::EraseUpTo(std::uint64_t last) {
    std::uint64_t erased = 0;
    while (!runs_.empty() && runs_.begin()->first <= last) {
        auto [first, end] = *runs_.begin();
        runs_.erase(runs_.begin());
        if (end > last) {
            runs_.emplace(last + 1, end);
            end = last;
        }
        erased += end - first + 1;
    }
    count_ -= erased;
    return erased;
}

bool IdRanges::Contains(std::uint64_t id) const {
    auto run = runs_.upper_bound(id);
    if (run == runs_.begin()) return false;
    --run;
    return id <= run->second;
}

std::uint64_t IdRanges::FirstAbove(std::uint64_t after) const {
    auto run = runs_.upper_bound(after);
    if (run != runs_.begin()) {
        auto previous = std::prev(run);
        if (previous->second > after) return after + 1;
    }
    return run == runs_.end() ? 0 : run->first;
}

}  // namespace jwgate
