// Writing one item of a controller, wrapped in the write-mode switch when
// the controller asked for it (status 0x10).
#pragma once

#include <cstdint>

#include "link/link_context.h"
#include "protocol/areas.h"

namespace kel {

// Up to kMaxAttempts attempts; the result of the last. Every failing attempt
// is complete in itself: a value the item cannot take is refused, and its
// message logged with gas (the gate's address string, for messages only),
// on each attempt. An area with no write request is logged and answered 0.
int WriteItem(LinkContext& line, const Item& item, std::int32_t value, const char* gas);

// "EWR" with the mode digit: 0 acknowledged, 2 no reply, 1 any other answer.
int SetWriteMode(LinkContext& line, std::int32_t station, int mode);

}  // namespace kel
