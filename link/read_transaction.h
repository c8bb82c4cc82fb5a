// Reading one gate: commands 5 and 6.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

inline constexpr int kMaxAttempts = 5;

// Up to five attempts; the value cell is written only with a value a read
// delivered. Returns the result of the last attempt.
std::int32_t ReadGate(KelRequest* request);

// One request and reply. On 0, *delivered tells whether *result holds a
// value (a timer/counter reply can withhold it).
int ReadAttempt(KelRequest* request, std::int32_t* result, bool* delivered);

}  // namespace kel
