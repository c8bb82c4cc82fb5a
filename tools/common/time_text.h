// Times as the tools print them: a frame's time of day in a trace, and an
// instant in reports and payloads.
#pragma once

#include <chrono>
#include <string>

namespace kel::tools {

// "13:45:01.123", local time.
std::string TimeOfDay(std::chrono::system_clock::time_point when);

// "13:45:01.123 < text": one traced frame, direction '<' sent or '>' received.
std::string FrameLine(std::chrono::system_clock::time_point when, char direction, const std::string& shown);

// "2026-12-07T13:45:12.345Z", UTC.
std::string IsoTime(std::chrono::system_clock::time_point when);

}  // namespace kel::tools
