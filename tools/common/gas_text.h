// A gate address as text, the form the tools print and read back: "01MA0100",
// "01RT0003", "01M19017B".
#pragma once

#include <cstdint>
#include <string>

namespace kel::tools {

// The address of item (relay, timer/counter number or register byte) in area
// (kel::AreaCode) of station; byteMark adds the "B" of an 8-bit register.
// Digits past an area's width are dropped.
std::string GasText(std::int32_t station, std::int32_t area, std::int32_t item, bool byteMark);

}  // namespace kel::tools
