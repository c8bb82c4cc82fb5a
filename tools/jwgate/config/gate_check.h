// A point's gate address, checked by the driver's own check (command 3)
// against the point's value type, and turned into the item the link reads.
#pragma once

#include <string>

#include "protocol/areas.h"
#include "tools/jwgate/core/value_type.h"

namespace jwgate {

// The item, or false with the reason in *error: the driver's message when
// its check refuses the address, or which width the value type needs.
bool CheckPointAddress(const std::string& gas, ValueType type, kel::Item* item, std::string* error);

}  // namespace jwgate
