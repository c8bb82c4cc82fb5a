// Writing one gate: commands 7 and 10, and the write-mode exchange a
// controller asks for with status 0x10.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

inline constexpr int kWriteModeOn = 2;
inline constexpr int kWriteModeOff = 0;

// Command 10: up to five attempts; the result of the last.
std::int32_t WriteGate(KelRequest* request);

// Command 7: writes one item of a gate whose marker is 255; 0 otherwise.
std::int32_t WriteMarkedGate(KelRequest* request);

// One attempt, wrapped in the write-mode exchange when WriteEnablePending.
int WriteAttempt(DriverState* state, const GateRequest* request);

// "EWR" with the mode digit: 0 acknowledged, 2 no reply, 1 any other answer.
int SetWriteMode(DriverState* state, const GateRequest* request, int mode);

}  // namespace kel
