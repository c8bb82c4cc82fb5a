// What the scan has done since it started, as the servers and the log
// report it.
#pragma once

#include <cstdint>

namespace jwgate {

struct ScanCounters {
    std::uint64_t exchanges = 0;  // planned reads carried out
    std::uint64_t failures = 0;   // of them, failed after every attempt
    std::uint64_t writes = 0;
    std::uint64_t writeFailures = 0;
    std::uint64_t writesDropped = 0;  // never sent: too old, the queue full, or the port closed
    std::uint64_t writeModeSwitches = 0;  // writes the controller took only in write mode
    std::uint64_t scans = 0;      // passes that read something
    double lastScanMs = 0;        // the last such pass, writes in it included
    double maxScanMs = 0;
    bool portOpen = false;
    std::uint64_t portReopens = 0;  // times the port came back after it failed
};

}  // namespace jwgate
