#include "tools/jwgate/line/plan_report.h"

#include <cstdio>

#include "protocol/requests.h"
#include "tools/jwgate/line/scan_engine.h"

namespace jwgate {
namespace {

using kel::scan::PlannedRead;

std::string Format(const char* format, auto... args) {
    char text[256];
    std::snprintf(text, sizeof text, format, args...);
    return text;
}

// "01?0MRGA0100A0177" without the head's "?0": station and fields.
std::string Describe(const PlannedRead& read) {
    kel::Request request;
    const bool built = read.isRange ? kel::BuildRangeReadRequest(read.range, &request)
                                    : kel::BuildReadRequest(read.item, &request);
    if (!built) return "?";
    const std::string payload(request.payload, static_cast<std::size_t>(request.length));
    return payload.substr(0, 2) + " " + payload.substr(4);
}

}  // namespace

int BitsPerCharacter(const LineConfig& line) {
    return 1 + line.dataBits + (line.parity != 0 ? 1 : 0) + line.stopBits;
}

std::string PlanReport(const GatewayConfig& config) {
    const LineConfig& line = config.line;
    std::string report = Format("line %s, %u baud, %d data bits, parity %s, %d stop bit(s); link timeout %u ms, "
                                "reply pause %d ms; runs of at most %d bytes, gaps of at most %d\n",
                                line.port.c_str(), line.baud, line.dataBits, ParityName(line.parity),
                                line.stopBits, line.linkTimeoutMs, line.waitingTimeMs,
                                line.maxRunBytes, line.maxGapBytes);
    if (line.rs485) {
        report += Format("RS-485: RTS raised while sending, %d ms before and %d ms after\n", line.rtsDelayBeforeSendMs,
                         line.rtsDelayAfterSendMs);
    }
    // The line stays quiet this long before every request, so it is part of
    // each exchange's time on the wire.
    const double gapMs = line.delayBetweenRequestsMs;
    if (line.delayBetweenRequestsMs > 0) {
        report += Format("delay between requests %d ms, counted in each exchange below\n", line.delayBetweenRequestsMs);
    }
    const std::vector<PlannedRead> reads = kel::scan::PlanReads(PlanItemsOf(config.points), PlanLimitsOf(line));
    const double msPerChar = 1000.0 * BitsPerCharacter(line) / line.baud;
    int totalChars = 0;
    report += Format("points %zu; a full scan takes %zu exchange(s):\n", config.points.size(), reads.size());
    for (const PlannedRead& read : reads) {
        const int chars = kel::scan::WireCharacters(read);
        totalChars += chars;
        std::string owners;
        for (const kel::scan::PlanItem& item : read.items) {
            owners += (owners.empty() ? "" : " ") + config.points[static_cast<std::size_t>(item.owner)].name;
        }
        report += Format("  %-20s %4d chars %8.1f ms  ", Describe(read).c_str(), chars, chars * msPerChar + gapMs) +
                  owners + "\n";
    }
    report += Format("wire time of a full scan: %.1f ms (%d characters of %d bits at %u baud, and %zu delay(s) of "
                     "%d ms between requests), plus the controller's answer time and the reply pause of each "
                     "exchange\n",
                     totalChars * msPerChar + gapMs * static_cast<double>(reads.size()), totalChars,
                     BitsPerCharacter(line), line.baud, reads.size(), line.delayBetweenRequestsMs);
    return report;
}

}  // namespace jwgate
