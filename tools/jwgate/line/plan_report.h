// What --check prints: the line, and the exchanges of a full scan with their
// estimated wire time at the configured baud.
#pragma once

#include <string>

#include "tools/jwgate/config/config.h"

namespace jwgate {

// Bits of one character on the line: start, data, parity, stop.
int BitsPerCharacter(const LineConfig& line);

std::string PlanReport(const GatewayConfig& config);

}  // namespace jwgate
