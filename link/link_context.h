// One controller line as the link works on it: its fixed settings (and the
// timings that follow from them), the state its operations change (the
// port, the replies still owed, the write-mode flag), and the hooks its
// owner lends it (a stop flag, an observer). Its owner (the driver's
// commands for each port, or a program that drives a line itself) makes it
// once and hands it to every operation.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

#include "link/link_settings.h"
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

// What the link's operations change as they go.
struct LinkState {
    PortHandle port = nullptr;
    OwedReplies owed;
    // The last reply broke off mid-frame: the rest of it may still be
    // arriving, so the next request waits for a quiet line first.
    bool resync = false;
    // The controller asked for write mode: the next write switches it on
    // first and off after.
    bool writeEnablePending = false;
    // When the last exchange ended (its reply read, or given up on).
    LinkClock::time_point exchangeEnded {};
    // When the last complete reply frame arrived, whoever's: a program
    // tells from it whether a controller answered at all.
    LinkClock::time_point replyArrived {};
    // Replies that asked for write mode, for a program that counts what its
    // line does.
    std::uint64_t writeModeRequests = 0;
};

// What the line's owner lends the link.
struct LinkHooks {
    // When set, ends waits and attempts early; an attempt ended so fails as
    // a timed-out one does. The port's reads then wait in short slices.
    const std::atomic<bool>* stop = nullptr;
    // Told the outcome of every attempt, when set.
    LinkObserver* observer = nullptr;
};

class LinkContext {
public:
    LinkContext() = default;
    explicit LinkContext(const LinkSettings& settings, LinkHooks hooks = {})
        : hooks(hooks), settings_(settings), timings_(TimingsOf(settings)) {}

    const LinkSettings& settings() const { return settings_; }
    const LinkTimings& timings() const { return timings_; }
    // The only way the settings change; works out their timings afresh.
    void Configure(const LinkSettings& settings) {
        settings_ = settings;
        timings_ = TimingsOf(settings);
    }

    bool Stopped() const { return hooks.stop != nullptr && hooks.stop->load(std::memory_order_relaxed); }

    LinkState state;
    LinkHooks hooks;

private:
    LinkSettings settings_;
    LinkTimings timings_ = TimingsOf(settings_);
};

// Results of the link's operations; the host sees them as they are.
enum LinkResult : int {
    kLinkOk = 0,
    kLinkMismatch = 1,  // another request's reply, wrong checksum, write mode asked for, refused
    kLinkFailed = 2,    // line failed, no "::" header, refused by the controller, bad status character
};

// Reads and writes are tried this many times while they fail.
inline constexpr int kMaxAttempts = 5;

// Runs attempt (returning a LinkResult) until it succeeds, attempts times at
// most (at least once, at most kMaxAttempts), with no pause between, and no
// further once the link is stopped; the result of the last run.
template <typename Attempt>
int Attempts(const LinkContext& link, int attempts, Attempt attempt) {
    const int most = attempts < 1 ? 1 : attempts > kMaxAttempts ? kMaxAttempts : attempts;
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
// resync, write mode off; the other settings stay.
void ResetLink(LinkContext& link, PortHandle port, std::uint32_t readTimeoutMs);

// Waits ms milliseconds, or less when the link is stopped meanwhile.
void PauseUnlessStopped(const LinkContext& link, std::uint32_t ms);

// Waits what is left of the request gap since the last exchange ended (no
// pause at all when that much time has passed); false when the link is
// stopped, meanwhile or before.
bool KeepRequestGap(const LinkContext& link);

}  // namespace kel
