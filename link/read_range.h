// Reading a run of consecutive items of one controller in one exchange.
#pragma once

#include "link/link_context.h"
#include "protocol/range_reads.h"

namespace kel {

// Up to attempts attempts, as a single item's read makes them; the
// result of the last. On kLinkOk *values holds the run, item by item. A range
// that is not valid is refused (kLinkMismatch) without touching the line.
int ReadRange(LinkContext& line, const ItemRange& range, RangeValues* values, int attempts = kMaxAttempts);

}  // namespace kel
