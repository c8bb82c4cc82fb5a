#include "tools/jwgate/counters_text.h"

#include <cstdio>

namespace jwgate {

std::string CountersText(const ScanCounters& c) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "exchanges %llu, failures %llu, writes %llu, write failures %llu, scans %llu, last scan %.1f ms, "
                  "longest %.1f ms",
                  static_cast<unsigned long long>(c.exchanges), static_cast<unsigned long long>(c.failures),
                  static_cast<unsigned long long>(c.writes), static_cast<unsigned long long>(c.writeFailures),
                  static_cast<unsigned long long>(c.scans), c.lastScanMs, c.maxScanMs);
    return text;
}

std::string CountersJson(const ScanCounters& c) {
    char text[256];
    std::snprintf(text, sizeof text,
                  "{\"exchanges\":%llu,\"failures\":%llu,\"writes\":%llu,\"write_failures\":%llu,\"scans\":%llu,"
                  "\"last_scan_ms\":%.1f,\"max_scan_ms\":%.1f}",
                  static_cast<unsigned long long>(c.exchanges), static_cast<unsigned long long>(c.failures),
                  static_cast<unsigned long long>(c.writes), static_cast<unsigned long long>(c.writeFailures),
                  static_cast<unsigned long long>(c.scans), c.lastScanMs, c.maxScanMs);
    return text;
}

}  // namespace jwgate
