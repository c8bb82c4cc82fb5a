// Plans the exchanges that read a set of items in the fewest exchanges: the
// items of one station and area that lie close together share one range
// read ("MRG" for register bytes, "MTC" for timer/counter numbers); relays
// are read through their MA bytes when that joins them with other items,
// and alone with "MRL" otherwise. A pure function: no line, no clock.
// Shared by jwgate's scan and the Python module's read_many; the plan is
// carried out by ExecutePlan (scan/plan_executor.h).
#pragma once

#include <cstdint>
#include <vector>

#include "protocol/areas.h"
#include "protocol/range_reads.h"

namespace kel::scan {

struct PlanLimits {
    int maxRunBytes = 64;  // register bytes (timer numbers) in one run, at most the protocol's bound
    int maxGapBytes = 16;  // unused bytes (numbers) a run may read to take in the next item
};

// An item to read and whose it is (an index the caller chooses).
struct PlanItem {
    Item item;
    int owner = 0;
};

struct PlannedRead {
    bool isRange = true;
    ItemRange range;  // when isRange
    Item item;        // otherwise: one relay by "MRL"
    std::vector<PlanItem> items;  // the items it reads, each with its owner
};

// Every item is read by exactly one planned read: the runs ordered by
// station, area and first address, then the RT relays (which have no range
// form) one "MRL" each. Items that are not valid are left out.
std::vector<PlannedRead> PlanReads(const std::vector<PlanItem>& items, PlanLimits limits);

// Characters the read puts on the line, request and reply frames together.
int WireCharacters(const PlannedRead& read);

}  // namespace kel::scan
