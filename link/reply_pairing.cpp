#include "link/reply_pairing.h"

#include <cstring>

#include "link/frame_io.h"
#include "link/port_state.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

// The oldest owed request the frame answers, or port.owedCount.
int OwnerOf(const LinkPortState& port, const char* body, int length) {
    int owner = 0;
    while (owner < port.owedCount &&
           !Answers(body, length, port.owed[owner].payload, port.owed[owner].echoLength)) {
        ++owner;
    }
    return owner;
}

bool SameRequest(const OwedRequest& owed, const Request& request) {
    const int compared = request.length < OwedRequest::kSize ? request.length : OwedRequest::kSize;
    return owed.length == compared &&
           std::memcmp(owed.payload, request.payload, static_cast<std::size_t>(compared)) == 0;
}

void Owe(LinkPortState& port, const Request& request) {
    port.Owe(request.payload, request.length, request.echoLength);
}

enum class Pairing { kTake, kSkip };

// What a complete frame is to this request, settling the owed requests it
// accounts for.
Pairing Pair(LinkPortState& port, const Request& request, const char* body, int length) {
    const int owner = OwnerOf(port, body, length);
    if (owner < port.owedCount) {
        const bool identical = SameRequest(port.owed[owner], request);
        port.Settle(owner + 1);
        if (!identical) return Pairing::kSkip;
        Owe(port, request);  // this request's own reply is still to come
        return Pairing::kTake;
    }
    if (Answers(body, length, request.payload, request.echoLength)) {
        port.Settle(port.owedCount);
        return Pairing::kTake;
    }
    if (AnswersSameKind(body, length, request.payload)) return Pairing::kSkip;
    // A refusal or a damaged frame can only fail this request, whoever it
    // belongs to: judged here, it counts as the oldest owed reply, and this
    // request's own reply, if any, may still be on its way.
    if (port.owedCount > 0) {
        port.Settle(1);
        Owe(port, request);
    }
    return Pairing::kTake;
}

}  // namespace

int SendRequest(Line& line, const Request& request) {
    LinkPortState& port = LinkPortOf(line);
    char frame[kReplyBufferSize];
    while (port.owedCount > 0 && WaitingBytes(line.port) > 0) {
        int frameLength = 0;
        const ReplyEnd end = ReadReplyUntil(line, frame, &frameLength, LinkClock::now() + ReplyBudget(line));
        if (end == ReplyEnd::kSilent) break;
        port.lastHeard = LinkClock::now();
        if (end != ReplyEnd::kComplete) break;  // the purge takes the rest
        // In order: an unknown frame, damaged or refused, is the oldest's.
        const int owner = OwnerOf(port, frame, frameLength);
        port.Settle(owner < port.owedCount ? owner + 1 : 1);
    }
    return SendFrame(line, request.payload, request.length);
}

int AwaitReply(Line& line, const Request& request, char* buffer, int* replyLength) {
    LinkPortState& port = LinkPortOf(line);
    const auto budget = ReplyBudget(line);
    const auto start = LinkClock::now();
    // Replies later than this are not waited for any more. It is long: a
    // debt forgotten too soon lets a late acknowledgement complete another
    // write, one kept too long only costs a skipped reply now and then.
    if (start - port.lastHeard > kForgetOwedAfterBudgets * budget) port.Settle(port.owedCount);
    const auto deadline = start + budget;

    for (;;) {
        const ReplyEnd end = ReadReplyUntil(line, buffer, replyLength, deadline);
        if (end != ReplyEnd::kSilent) port.lastHeard = LinkClock::now();
        if (end != ReplyEnd::kComplete) {
            // Its reply may still come, after silence or after the bytes of
            // a disturbed line. Even a request that skipped what looked like
            // older replies cannot know that one of them was its own.
            Owe(port, request);
            return kLinkFailed;
        }
        if (Pair(port, request, buffer, *replyLength) == Pairing::kTake) return kLinkOk;
    }
}

}  // namespace kel
