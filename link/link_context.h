// One controller line as the link works on it: the port and its timeouts,
// the pause before a reply, the write-mode flag, the replies still owed, and
// a stop flag. Its owner (the driver's commands for each port, or a program
// that drives a line itself) makes it once and hands it to every operation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "link/owed_replies.h"
#include "serial/port_handle.h"

namespace kel {

// How one attempt's reply came out, for a program that keeps statistics of
// its line.
enum class AttemptOutcome {
    kAnswered,    // a reply the request accepted (write mode asked for included)
    kNoReply,     // nothing usable came within the attempt's time
    kDamaged,     // a frame came broken off, garbled, or with a wrong checksum
    kRefused,     // the controller answered with an error status
};

enum class FrameDirection { kSent, kReceived };

class LinkObserver {
public:
    virtual ~LinkObserver() = default;
    // Called on the thread that runs the link; status is the controller's
    // for kRefused, 0 otherwise. It must not block.
    virtual void OnAttempt(AttemptOutcome outcome, std::uint8_t status) = 0;
    // Every frame the link puts on the line or takes off it (a received one
    // whole, from its header on), on the same thread; it must not block.
    virtual void OnFrame(FrameDirection /*direction*/, const char* /*bytes*/, int /*count*/) {}
};

struct LinkContext {
    PortHandle port = nullptr;
    std::uint32_t baudRate = 0;
    // How long one read of the port waits for its bytes.
    std::uint32_t readTimeoutMs = 1000;
    // Pause between sending a read or write-mode request and reading its
    // reply (WAITINGTIME).
    std::uint32_t replyPauseMs = 0;
    // Quiet time the line keeps from the end of one exchange to the next
    // request, for converters and controllers that need it; 0: none.
    std::uint32_t requestGapMs = 0;
    // When the last exchange ended (its reply read, or given up on).
    LinkClock::time_point exchangeEnded {};
    // When the last complete reply frame arrived, whoever's: a program
    // tells from it whether a controller answered at all.
    LinkClock::time_point replyArrived {};
    // Attempts an operation makes at most (Attempts); below kMaxAttempts
    // for a program that only probes a controller known to be silent.
    int attempts = 5;
    // The controller asked for write mode: the next write switches it on
    // first and off after.
    bool writeEnablePending = false;
    OwedReplies owed;
    // The last reply broke off mid-frame: the rest of it may still be
    // arriving, so the next request waits for a quiet line first.
    bool resync = false;
    // When set, ends waits and attempts early; an attempt ended so fails as
    // a timed-out one does. The port's reads then wait in short slices.
    const std::atomic<bool>* stop = nullptr;
    // Replies that asked for write mode, for a program that counts what its
    // line does.
    std::uint64_t writeModeRequests = 0;
    // Told the outcome of every attempt, when set.
    LinkObserver* observer = nullptr;

    bool Stopped() const { return stop != nullptr && stop->load(std::memory_order_relaxed); }
};

// Results of the link's operations; the host sees them as they are.
enum LinkResult : int {
    kLinkOk = 0,
    kLinkMismatch = 1,  // another request's reply, wrong checksum, write mode asked for, refused
    kLinkFailed = 2,    // line failed, no "::" header, refused by the controller, bad status character
};

// Reads and writes are tried this many times while they fail.
inline constexpr int kMaxAttempts = 5;
static_assert(LinkContext {}.attempts == kMaxAttempts);

// Runs attempt (returning a LinkResult) until it succeeds, link.attempts
// times at most (at least once, at most kMaxAttempts), with no pause
// between, and no further once the link is stopped; the result of the last
// run.
template <typename Attempt>
int Attempts(const LinkContext& link, Attempt attempt) {
    const int most = link.attempts < 1 ? 1 : link.attempts > kMaxAttempts ? kMaxAttempts : link.attempts;
    int outcome = kLinkFailed;
    for (int run = 0; run < most && outcome != kLinkOk && !link.Stopped(); ++run) outcome = attempt();
    return outcome;
}

// Read timeout, in units of 10 ms, of a port given a LinkTimeout: 0 keeps the
// port's default of one second (a timeout of 0 would mean no limit at all),
// and a count whose milliseconds do not fit 32 bits saturates.
std::uint32_t ReadTimeoutUnits(std::uint32_t linkTimeout);

// Puts the link on a freshly opened port: sets the port's read timeout from
// linkTimeout (units of 10 ms, as ReadTimeoutUnits takes them), then
// ResetLink. Pause, baud and stop flag stay as set.
void AttachPort(LinkContext& link, PortHandle port, std::uint32_t linkTimeout);
// Starts afresh on a port whose reads wait readTimeoutMs: nothing owed, no
// resync, write mode off.
void ResetLink(LinkContext& link, PortHandle port, std::uint32_t readTimeoutMs);

// How long one attempt may take to receive its reply: the read timeout, plus
// the time 600 characters take at the line's baud rate (11 bits each), plus
// a margin. A healthy reply never comes near it; a dribbling line or
// streaming noise is cut off there.
std::chrono::milliseconds ReplyBudget(const LinkContext& link);

// How long an owed reply may still come: two reply budgets. Late replies
// beyond the link timeout are what debts are for; one budget would cut off a
// controller that answers a few link timeouts late.
std::chrono::milliseconds OwedLifetime(const LinkContext& link);

// Time for n characters at the line's baud rate (11 bits each).
std::chrono::microseconds CharacterTime(const LinkContext& link, int n);

// Waits ms milliseconds, or less when the link is stopped meanwhile.
void PauseUnlessStopped(const LinkContext& link, std::uint32_t ms);

// Waits what is left of the request gap since the last exchange ended (no
// pause at all when that much time has passed); false when the link is
// stopped, meanwhile or before.
bool KeepRequestGap(const LinkContext& link);

}  // namespace kel
