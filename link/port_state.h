// What the link remembers about each open port between calls: the read
// timeout the port was given, and the replies it still owes.
//
// A controller answers its requests in order, one reply each, and may answer
// later than the link timeout. Such a late reply arrives during a later
// exchange and, taken for that exchange's answer, would deliver another
// address's value or complete a write the controller never acknowledged. So
// every attempt that gave up without its reply leaves its request owed on
// its port, and a later exchange pairs each complete frame with the
// oldest owed request it can answer, in order (see AwaitReply).
#pragma once

#include <chrono>
#include <cstdint>

#include "link/line.h"

namespace kel {

using LinkClock = std::chrono::steady_clock;

// Read timeout, in units of 10 ms, of a port given LinkTimeout: 0 keeps the
// port's default of one second (a timeout of 0 would mean no limit at all),
// and a count whose milliseconds do not fit 32 bits saturates.
std::uint32_t ReadTimeoutUnits(std::uint32_t linkTimeout);
inline std::uint32_t LinkTimeoutMs(std::uint32_t linkTimeout) { return ReadTimeoutUnits(linkTimeout) * 10u; }

// A request whose reply may still come. The link's requests are at most 25
// bytes; a longer one is remembered by its head.
struct OwedRequest {
    static constexpr int kSize = 32;
    char payload[kSize] = {};
    int length = 0;
    int echoLength = 0;  // payload bytes its reply repeats
};

// A line quiet for this many reply budgets owes nothing any more.
inline constexpr int kForgetOwedAfterBudgets = 10;

// Most replies counted as owed; more would mean a controller a dozen replies
// behind, and a line that has been quiet that long owes nothing.
inline constexpr int kMaxOwedReplies = 16;

struct LinkPortState {
    PortHandle port = nullptr;
    std::uint32_t readTimeoutMs = 0;
    OwedRequest owed[kMaxOwedReplies] {};  // oldest first
    int owedCount = 0;
    LinkClock::time_point lastHeard {};  // last byte received, or the port's start

    // Remembers a request as owing its reply; when full, the oldest is
    // taken as lost.
    void Owe(const char* payload, int length, int echoLength);
    // Drops the first count owed requests.
    void Settle(int count);
};

// Starts afresh for a port just opened with that read timeout.
void ResetLinkPort(PortHandle port, std::uint32_t readTimeoutMs);
// Forgets a port that was closed.
void ForgetLinkPort(PortHandle port);
// The state of the line's port, made from its link timeout if the port was
// not opened through ResetLinkPort.
LinkPortState& LinkPortOf(const Line& line);

// How long one attempt may take to receive its reply: the read timeout, plus
// the time 600 characters take at the line's baud rate (11 bits each), plus
// a margin. A healthy reply never comes near it; a dribbling line or
// streaming noise is cut off there.
std::chrono::milliseconds ReplyBudget(const Line& line);

}  // namespace kel
