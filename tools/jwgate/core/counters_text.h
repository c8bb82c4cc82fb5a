// The scan's counters as one line of text and as JSON.
#pragma once

#include <string>
#include <vector>

#include "tools/jwgate/core/scan_counters.h"

namespace jwgate {

// "exchanges 120, failures 0, writes 2, write failures 0, scans 60, last scan 101.2 ms, longest 180.0 ms"
std::string CountersText(const ScanCounters& counters);
// {"exchanges":120,"failures":0,...,"last_scan_ms":101.2,"max_scan_ms":180.0}
std::string CountersJson(const ScanCounters& counters);

}  // namespace jwgate
