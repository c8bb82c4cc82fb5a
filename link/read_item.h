// Reading one item of a controller.
#pragma once

#include <cstdint>

#include "link/link_context.h"
#include "protocol/areas.h"

namespace kel {

// Up to attempts attempts (Attempts); the result of the last. On kLinkOk,
// *delivered tells whether *value holds the item's value (a timer/counter
// reply can withhold it). An item that is not valid is refused
// (kLinkMismatch) on every attempt without touching the line.
int ReadItem(LinkContext& line, const Item& item, std::int32_t* value, bool* delivered,
             int attempts = kMaxAttempts);

}  // namespace kel
