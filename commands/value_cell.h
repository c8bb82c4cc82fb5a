// The host's 4-byte value cell, little-endian: value types 3, 4 and 5 use all
// four bytes, 0, 1 and 6 the second 16-bit half (bytes 2 and 3).
#pragma once

#include <cstdint>

namespace kel {

// Stores what a read delivered in the form of the value type; types 2 and
// unknown ones leave the cell alone.
void StoreReadValue(std::uint32_t valueType, void* cell, std::int32_t result);

// The value a write sends: the unsigned 16-bit half for types 0, 1 and 6,
// the 32-bit word for 4 and 5. False for types that carry no value.
bool TakeWriteValue(std::uint32_t valueType, const void* cell, std::int32_t* value);

}  // namespace kel
