#include "link/reply_pairing.h"

#include <cstring>

#include "link/frame.h"
#include "link/port_state.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

constexpr int kStatusCharOffset = 2;
constexpr int kChecksumAndCr = 3;

// A sound "#" reply from the same station, with the same "0" and mnemonic,
// whatever fields it repeats.
bool SameKind(const char* body, int length, const char* payload) {
    if (length < kRequestHeadLength + kChecksumAndCr) return false;
    return body[kStatusCharOffset] == '#' && std::memcmp(body, payload, 2) == 0 && body[3] == payload[3] &&
           std::memcmp(body + 4, payload + 4, 3) == 0 && ChecksumMatches(body, length);
}

// The oldest owed request the frame answers, or port.owedCount.
int OwnerOf(const LinkPortState& port, const char* body, int length) {
    int owner = 0;
    while (owner < port.owedCount &&
           !Answers(body, length, port.owed[owner].payload, port.owed[owner].echoLength)) {
        ++owner;
    }
    return owner;
}

bool SameRequest(const OwedRequest& owed, const char* payload, int length) {
    const int compared = length < OwedRequest::kSize ? length : OwedRequest::kSize;
    return owed.length == compared && std::memcmp(owed.payload, payload, static_cast<std::size_t>(compared)) == 0;
}

}  // namespace

bool Answers(const char* body, int length, const char* payload, int echoLength) {
    if (echoLength < kRequestHeadLength || length < echoLength + kChecksumAndCr) return false;
    return SameKind(body, length, payload) &&
           std::memcmp(body + kRequestHeadLength, payload + kRequestHeadLength,
                       static_cast<std::size_t>(echoLength - kRequestHeadLength)) == 0;
}

int SendRequest(DriverState* state, const char* payload, int length) {
    LinkPortState& port = LinkPortOf(*state);
    char frame[kReplyBufferSize];
    while (port.owedCount > 0 && WaitingBytes(state->portHandle) > 0) {
        int frameLength = 0;
        const auto now = LinkClock::now();
        const ReplyEnd end = ReadReplyUntil(state, frame, &frameLength, now + ReplyBudget(*state));
        if (end == ReplyEnd::kSilent) break;
        port.lastHeard = LinkClock::now();
        if (end != ReplyEnd::kComplete) break;  // the purge takes the rest
        // In order: an unknown frame, damaged or refused, is the oldest's.
        const int owner = OwnerOf(port, frame, frameLength);
        port.Settle(owner < port.owedCount ? owner + 1 : 1);
    }
    return SendFrame(state, payload, length);
}

int AwaitReply(DriverState* state, const char* payload, int length, int echoLength, char* buffer,
               int* replyLength) {
    LinkPortState& port = LinkPortOf(*state);
    const auto budget = ReplyBudget(*state);
    const auto start = LinkClock::now();
    // Replies later than this are not waited for any more.
    if (start - port.lastHeard > 2 * budget) port.Settle(port.owedCount);
    const auto deadline = start + budget;

    bool heard = false;
    for (;;) {
        const ReplyEnd end = ReadReplyUntil(state, buffer, replyLength, deadline);
        if (end != ReplyEnd::kSilent) {
            heard = true;
            port.lastHeard = LinkClock::now();
        }
        if (end != ReplyEnd::kComplete) {
            if (!heard || port.owedCount > 0) port.Owe(payload, length, echoLength);
            return kFrameFailed;
        }
        const int owner = OwnerOf(port, buffer, *replyLength);
        if (owner < port.owedCount) {
            const bool identical = SameRequest(port.owed[owner], payload, length);
            port.Settle(owner + 1);
            if (!identical) continue;
            port.Owe(payload, length, echoLength);  // this request's own reply is still to come
            return kFrameOk;
        }
        if (Answers(buffer, *replyLength, payload, echoLength)) {
            port.Settle(port.owedCount);
            return kFrameOk;
        }
        if (port.owedCount > 0) {
            port.Settle(1);
            continue;
        }
        if (SameKind(buffer, *replyLength, payload)) continue;
        return kFrameOk;
    }
}

}  // namespace kel
