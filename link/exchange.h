// One exchange with a controller: a request, the pause, its reply, and the
// judgement of the reply. Reads, writes and the write-mode switch all go
// through it.
#pragma once

#include "link/link_context.h"
#include "protocol/frame.h"
#include "protocol/requests.h"

namespace kel {

struct ExchangeSteps {
    bool pauseBeforeSend = false;   // the write-mode switch waits before its request too
    bool pauseBeforeReply = false;  // reads and the write-mode switch; a write does not wait
    bool sendFailureEnds = false;   // a read gives up at once; a write learns it from the missing reply
};

// A read pauses before its reply and gives up at once when its request
// cannot be sent.
inline constexpr ExchangeSteps kReadSteps {.pauseBeforeReply = true, .sendFailureEnds = true};

struct ExchangeOutcome {
    int result = kLinkFailed;
    bool received = false;  // a reply frame came, whatever it said
};

// kLinkOk with the accepted reply in reply (kReplyBufferSize bytes) and its
// length; otherwise the result of the step that failed. A reply that asks for
// write mode sets line.state.writeEnablePending and gives kLinkMismatch; the
// controller's documented error statuses are logged.
ExchangeOutcome Exchange(LinkContext& line, const Request& request, ExchangeSteps steps, char* reply, int* length);

// One read attempt: build fills the request (false: the item has no
// request, kLinkMismatch without touching the line); an accepted reply goes
// to decode(request, reply, length), whose LinkResult is the attempt's.
template <typename Build, typename Decode>
int ReadAttempt(LinkContext& line, Build build, Decode decode) {
    Request request;
    if (!build(&request)) return kLinkMismatch;
    char reply[kReplyBufferSize];
    int length = 0;
    const ExchangeOutcome outcome = Exchange(line, request, kReadSteps, reply, &length);
    if (outcome.result != kLinkOk) return outcome.result;
    return decode(request, reply, length);
}

}  // namespace kel
