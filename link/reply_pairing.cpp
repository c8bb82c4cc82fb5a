#include "link/reply_pairing.h"

#include "link/frame_io.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

void Owe(LinkContext& link, const Request& request, LinkClock::time_point sentAt) {
    link.state.owed.Owe(request, sentAt, link.timings().owedLifetime);
}

void Settle(LinkContext& link, int count) {
    link.state.owed.Settle(count, LinkClock::now(), link.timings().owedLifetime);
}

// Pairs the frames waiting with the owed requests, and goes on pairing the
// frames that arrive while an owed reply could still pass for next's own,
// until nothing is owed. A frame that answers none of them is, in order, the
// oldest's.
void SettleOwedBefore(LinkContext& link, const Request& next) {
    char frame[kReplyBufferSize];
    while (link.state.owed.count() > 0 && !link.Stopped()) {
        const auto now = LinkClock::now();
        link.state.owed.Expire(now);
        if (!InputArrives(link, link.state.owed.ConfusableUntil(next, now))) return;
        int length = 0;
        const ReplyEnd end = ReadReplyUntil(link, frame, &length, LinkClock::now() + link.timings().replyBudget);
        if (end == ReplyEnd::kBroken) Resynchronise(link);
        if (end != ReplyEnd::kComplete) continue;
        const Attribution who = link.state.owed.Attribute(frame, length, nullptr, LinkClock::now());
        Settle(link, who.owner == Owner::kOwed ? who.index + 1 : 1);
    }
}

}  // namespace

int SendRequest(LinkContext& link, const Request& request) {
    if (link.state.resync) Resynchronise(link);
    SettleOwedBefore(link, request);
    if (!KeepRequestGap(link)) return kLinkFailed;
    return SendFrame(link, request.payload, request.length);
}

int AwaitReply(LinkContext& link, const Request& request, char* buffer, int* replyLength) {
    // Debts count from here, a reply pause after the send: on the safe side.
    const auto sentAt = LinkClock::now();
    const auto deadline = sentAt + link.timings().replyBudget;
    for (;;) {
        const ReplyEnd end = ReadReplyUntil(link, buffer, replyLength, deadline, request.replyLength);
        if (end != ReplyEnd::kComplete) {
            // Its reply may still come, after silence or after the bytes of
            // a disturbed line.
            Owe(link, request, sentAt);
            return kLinkFailed;
        }
        const Attribution who = link.state.owed.Attribute(buffer, *replyLength, &request, LinkClock::now());
        switch (who.owner) {
            case Owner::kOwed: {
                const bool interchangeable = Interchangeable(link.state.owed.request(who.index), request);
                Settle(link, who.index + 1);
                if (!interchangeable) continue;
                Owe(link, request, sentAt);  // this request's own reply may still come
                return kLinkOk;
            }
            case Owner::kThisRequest:
                link.state.owed.Clear();
                return kLinkOk;
            case Owner::kSomeoneElse:
                continue;
            case Owner::kUnknown:
                // It can only fail this request, whoever it belongs to:
                // judged here, it counts as the oldest owed reply.
                if (link.state.owed.count() > 0) {
                    Settle(link, 1);
                    Owe(link, request, sentAt);
                }
                return kLinkOk;
        }
    }
}

}  // namespace kel
