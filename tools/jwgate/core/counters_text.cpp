#include "tools/jwgate/core/counters_text.h"

#include <cstdio>

namespace jwgate {
namespace {

struct Field {
    const char* text;
    const char* json;
    double value;
    bool milliseconds;
};

std::vector<Field> Fields(const ScanCounters& c) {
    const auto count = [](std::uint64_t n) { return static_cast<double>(n); };
    return {{"exchanges", "exchanges", count(c.exchanges), false},
            {"failures", "failures", count(c.failures), false},
            {"writes", "writes", count(c.writes), false},
            {"write failures", "write_failures", count(c.writeFailures), false},
            {"writes dropped", "writes_dropped", count(c.writesDropped), false},
            {"write-mode switches", "write_mode_switches", count(c.writeModeSwitches), false},
            {"port reopened", "port_reopens", count(c.portReopens), false},
            {"port open", "port_open", c.portOpen ? 1.0 : 0.0, false},
            {"scans", "scans", count(c.scans), false},
            {"last scan", "last_scan_ms", c.lastScanMs, true},
            {"longest", "max_scan_ms", c.maxScanMs, true}};
}

std::string Number(const Field& field) {
    char text[32];
    std::snprintf(text, sizeof text, field.milliseconds ? "%.1f" : "%.0f", field.value);
    return text;
}

}  // namespace

std::string CountersText(const ScanCounters& counters) {
    std::string text;
    for (const Field& field : Fields(counters)) {
        text += (text.empty() ? "" : ", ") + std::string(field.text) + " " + Number(field) +
                (field.milliseconds ? " ms" : "");
    }
    return text;
}

std::string CountersJson(const ScanCounters& counters) {
    std::string json;
    for (const Field& field : Fields(counters)) {
        json += (json.empty() ? "{\"" : ",\"") + std::string(field.json) + "\":" + Number(field);
    }
    return json + "}";
}

}  // namespace jwgate
