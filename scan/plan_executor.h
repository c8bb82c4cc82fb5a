// Carries out a plan of the scan planner on a line: each planned read
// through the link's ReadRange or ReadItem, and each item's raw value, or
// that it was withheld, or that its read failed, handed to its owner. The
// caller decides, read by read, how many attempts a read gets, whether to
// leave it out or to stop, and what follows a read (jwgate: its stop flag,
// the stations it tracks, its counters; Python: the first failure ends the
// call).
#pragma once

#include <cstdint>
#include <vector>

#include "link/link_context.h"
#include "protocol/range_reads.h"
#include "scan/scan_planner.h"

namespace kel::scan {

// Item's raw value out of the reply to a run that covers it: an R relay's
// bit of its MA byte, a timer/counter value, or a register's bytes (least
// significant first on the line). False when the timer/counter reply
// withheld the value (*raw is then the undelivered slot's content).
bool RawFromRun(const Item& item, const ItemRange& range, const RangeValues& values, std::uint32_t* raw);

// What the caller wants done with the next planned read.
struct ReadTurn {
    enum class Action { kRead, kSkip, kStop };
    Action action = Action::kRead;
    int attempts = kMaxAttempts;  // for kRead: at most this many attempts (1 to kMaxAttempts)
};

// What became of an item of a planned read.
struct ItemOutcome {
    enum class Kind { kValue, kWithheld, kFailed };
    Kind kind = Kind::kFailed;
    std::uint32_t raw = 0;  // for kValue
};

class PlanVisitor {
public:
    virtual ~PlanVisitor() = default;
    // Before the read goes on the line.
    virtual ReadTurn BeforeRead(const PlannedRead& read) = 0;
    // After the read, once for each of its items, in the plan's order.
    virtual void OnItem(const PlanItem& item, ItemOutcome outcome) = 0;
    // After the items heard their outcomes, with the read's link result
    // (kLinkOk or the last attempt's); false ends the plan here.
    virtual bool AfterRead(const PlannedRead& read, int result) = 0;
};

// Carries out reads in their order on line; returns when they are done, a
// BeforeRead said kStop, or an AfterRead said false. A read left out
// (kSkip) goes neither on the line nor to its items.
void ExecutePlan(LinkContext& line, const std::vector<PlannedRead>& reads, PlanVisitor& visitor);

}  // namespace kel::scan
