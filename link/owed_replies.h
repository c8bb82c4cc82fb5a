// The replies a line still owes, as a plain value: no I/O, time passed in.
//
// A controller answers its requests in order, one reply each, and may answer
// later than the link timeout. Such a late reply arrives during a later
// exchange and, taken for that exchange's answer, would deliver another
// address's value or complete a write the controller never acknowledged. So
// every attempt that gave up without its reply leaves its request owed, and
// each complete frame that arrives later is attributed to the oldest owed
// request it can answer.
//
// A controller answers within a bounded time of taking up a request, so a
// debt lasts only that long: from its request's send, and again from each
// earlier owed reply that arrives (the controller takes up the next request
// only then). Debts expire by their age, not by silence on the line, so a
// line that keeps talking cannot keep old debts alive.
#pragma once

#include <chrono>

#include "protocol/requests.h"

namespace kel {

using LinkClock = std::chrono::steady_clock;

// Whose reply a complete frame is.
enum class Owner {
    kOwed,         // the owed request at Attribution::index (the oldest it can answer)
    kThisRequest,  // the request just sent, and no owed one
    kSomeoneElse,  // a sound reply of this request's kind that repeats other fields
    kUnknown,      // damaged, refused, or of another kind: it can only fail this request
};

struct Attribution {
    Owner owner = Owner::kUnknown;
    int index = 0;
};

// Whether a reply to owed could be taken for current's without harm: the same
// request, or the write-mode switch of the same station in either mode (the
// write that follows it is refused with status 0x10 if the mode is not on,
// so a misattributed switch can fail a write but never complete one).
bool Interchangeable(const Request& owed, const Request& current);

class OwedReplies {
public:
    // More would mean a controller a dozen replies behind.
    static constexpr int kCapacity = 16;

    // Remembers that request's reply may still come, for lifetime from now;
    // when full, the oldest is taken as lost.
    void Owe(const Request& request, LinkClock::time_point now, LinkClock::duration lifetime);
    // Forgets the debts whose time is up at now.
    void Expire(LinkClock::time_point now);
    // Drops the oldest count debts, their replies having come (or been lost)
    // by now; the others may each take lifetime from now.
    void Settle(int count, LinkClock::time_point now, LinkClock::duration lifetime);
    void Clear() { count_ = 0; }

    // Who the complete reply frame body (length bytes, CR included) belongs
    // to, at now: the oldest live owed request it answers, else current, else
    // someone else's or unknown. Between requests (current null) a frame that
    // answers no debt is unknown.
    Attribution Attribute(const char* body, int length, const Request* current, LinkClock::time_point now) const;

    // The latest time a live debt's reply could still be taken for
    // request's own; now or earlier when none can.
    LinkClock::time_point ConfusableUntil(const Request& request, LinkClock::time_point now) const;

    int count() const { return count_; }
    const Request& request(int index) const { return debts_[index].request; }

private:
    void Drop(int count);

    struct Debt {
        Request request;
        LinkClock::time_point expiresAt {};
    };
    Debt debts_[kCapacity] {};  // oldest first
    int count_ = 0;
};

}  // namespace kel
