// The fixed settings of a controller line, and the timings that follow from
// them, worked out once when the settings are made and read as plain values
// by every exchange.
#pragma once

#include <chrono>
#include <cstdint>

namespace kel {

struct LinkSettings {
    std::uint32_t baudRate = 0;
    // How long one read of the port waits for its bytes.
    std::uint32_t readTimeoutMs = 1000;
    // Pause between sending a read or write-mode request and reading its
    // reply (WAITINGTIME).
    std::uint32_t replyPauseMs = 0;
    // Quiet time the line keeps from the end of one exchange to the next
    // request, for converters and controllers that need it; 0: none.
    std::uint32_t requestGapMs = 0;

    bool operator==(const LinkSettings&) const = default;
};

// Characters on the line take 11 bits each (start, 8 data, parity, stop); a
// baud rate below 50 counts as 50.
struct LinkTimings {
    // Two characters' time, within 1 to 10 ms: how often a wait for input
    // looks at the port.
    std::chrono::milliseconds pollInterval {};
    // A line is quiet after five character times without a byte, and never
    // sooner than a USB serial adapter's latency timer, which holds
    // trickling bytes back for up to 16 ms.
    std::chrono::microseconds quietTime {};
    // How long one attempt may take to receive its reply: the read timeout,
    // plus the time 600 characters take, plus a margin. A healthy reply
    // never comes near it; a dribbling line or streaming noise is cut off
    // there.
    std::chrono::milliseconds replyBudget {};
    // How long an owed reply may still come: two reply budgets. Late replies
    // beyond the link timeout are what debts are for; one budget would cut
    // off a controller that answers a few link timeouts late.
    std::chrono::milliseconds owedLifetime {};
};

LinkTimings TimingsOf(const LinkSettings& settings);

}  // namespace kel
