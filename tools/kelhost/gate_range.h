// Gate ranges on the command line: "01MA0100..01MA0117" stands for every gate
// of one area from the first to the last, a gate's width apart.
#pragma once

#include <string>
#include <vector>

#include "kelwnsrp.h"

namespace kelhost {

// A range holds at most this many gates.
inline constexpr int kMaxRangeGates = 1024;

// The text before and after "..", or false when the argument is one gate.
bool SplitRange(const std::string& argument, std::string* first, std::string* last);

// The gas of the item at address in the area of like (station, area and a
// trailing B as like has them).
std::string GasOf(const GateAddress& like, int32_t address, bool byteMark);

// The gates from first to last (addresses the driver's check wrote), step
// items apart; false with the reason when they are not one area of one
// station, run backwards or hold too many gates.
bool ExpandRange(const GateAddress& first, const GateAddress& last, int step, bool byteMark,
                 std::vector<std::string>* gates, std::string* why);

}  // namespace kelhost
