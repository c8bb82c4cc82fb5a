#include "link/frame_io.h"

#include <algorithm>
#include <cstdint>

#include "host/line_trace.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

// count bytes within one read timeout. With a stop flag the port's own
// timeout is a short slice, and the wait goes on slice by slice up to the
// link's read timeout unless the link is stopped; a slice that ends early
// without a byte is the port failing, not waiting.
bool ReadWithin(LinkContext& link, char* destination, std::uint16_t count, std::uint32_t* got) {
    *got = 0;
    if (link.hooks.stop == nullptr) return ReadPort(link.state.port, destination, count, got) == kSerialOk && *got == count;
    const auto start = LinkClock::now();
    const auto deadline = start + std::chrono::milliseconds(link.settings().readTimeoutMs);
    for (;;) {
        const auto sliceStart = LinkClock::now();
        std::uint32_t chunk = 0;
        const int result = ReadPort(link.state.port, destination + *got, static_cast<std::uint16_t>(count - *got), &chunk);
        *got += chunk;
        if (result == kSerialOk && *got == count) return true;
        const auto now = LinkClock::now();
        if (now >= deadline || link.Stopped()) return false;
        if (chunk == 0 && now - sliceStart < std::chrono::milliseconds(5)) return false;
    }
}

// At least one byte of a frame's body into destination (room > 0), with
// whatever else has already arrived up to its CR; false when none came
// within one read timeout of waitFrom. With a stop flag the wait goes on
// slice by slice, as in ReadWithin.
bool ReadSome(LinkContext& link, char* destination, std::uint16_t room, std::uint32_t* got,
              LinkClock::time_point waitFrom) {
    *got = 0;
    if (link.hooks.stop == nullptr) {
        return ReadPortUntil(link.state.port, destination, room, kCarriageReturn, got) == kSerialOk;
    }
    const auto deadline = waitFrom + std::chrono::milliseconds(link.settings().readTimeoutMs);
    for (;;) {
        const auto sliceStart = LinkClock::now();
        if (ReadPortUntil(link.state.port, destination, room, kCarriageReturn, got) == kSerialOk) return true;
        *got = 0;
        const auto now = LinkClock::now();
        if (now >= deadline || link.Stopped()) return false;
        if (now - sliceStart < std::chrono::milliseconds(5)) return false;
    }
}

// The body's remaining characters, at 10 bits each (the shortest a
// character can be), could not all have arrived before this: a wait that
// lets them gather costs one wake instead of one per piece. Only with a stop
// flag, whose slices let the next read's timeout count from the last byte.
// A sender that fell behind catches up in a burst and ends sooner than its
// rest predicts, so no wait is longer than kLongestGather: that much is the
// most a reply is read late.
constexpr std::chrono::milliseconds kLongestGather {10};

LinkClock::time_point RestOfBodyDue(const LinkContext& link, int expectedBody, int stored,
                                    LinkClock::time_point now) {
    constexpr std::uint64_t kShortestCharacterBits = 10;
    if (link.hooks.stop == nullptr || expectedBody <= stored || link.settings().baudRate == 0) return now;
    const auto bits = static_cast<std::uint64_t>(expectedBody - stored) * kShortestCharacterBits;
    const auto rest = std::chrono::microseconds(bits * 1000000u / link.settings().baudRate);
    return now + std::min<std::chrono::microseconds>(rest, kLongestGather);
}

// The frame's body, after its "::", into buffer; how it ended. expectedBody
// is the body's length when known (0 otherwise), used only for when to look
// for more.
ReplyEnd ReadBody(LinkContext& link, char* buffer, int* stored, LinkClock::time_point deadline, int expectedBody) {
    // Each wait for more waits up to the read timeout; the deadline bounds
    // the whole frame, so a line that dribbles or streams noise cannot hold it.
    auto lastByte = LinkClock::now();
    while (*stored < kReplyBufferSize) {
        std::uint32_t got = 0;
        const auto room = static_cast<std::uint16_t>(kReplyBufferSize - *stored);
        if (!ReadSome(link, buffer + *stored, room, &got, lastByte)) return ReplyEnd::kBroken;
        *stored += static_cast<int>(got);
        if (buffer[*stored - 1] == kCarriageReturn) return ReplyEnd::kComplete;
        lastByte = LinkClock::now();
        if (lastByte > deadline) return ReplyEnd::kBroken;
        const auto due = std::min(RestOfBodyDue(link, expectedBody, *stored, lastByte), deadline);
        const auto wait = std::chrono::floor<std::chrono::milliseconds>(due - lastByte);
        if (wait.count() > 0) PauseUnlessStopped(link, static_cast<std::uint32_t>(wait.count()));
    }
    return ReplyEnd::kBroken;
}

// The observer sees a received frame in one piece, as the host's trace does.
void TellReceived(LinkObserver& observer, const char* head, int headCount, const char* body, int bodyCount) {
    if (headCount + bodyCount <= 0) return;
    char frame[2 + kReplyBufferSize];
    std::copy_n(head, headCount, frame);
    std::copy_n(body, bodyCount, frame + headCount);
    observer.OnFrame(FrameDirection::kReceived, frame, headCount + bodyCount);
}

}  // namespace

int SendFrame(LinkContext& link, const char* payload, int length) {
    char frame[kFrameBufferSize];
    const int frameLength = BuildFrame(payload, length, frame);
    if (frameLength == 0) return kLinkFailed;
    // Bytes left from an earlier exchange would be taken for this one's reply.
    PurgeInput(link.state.port, static_cast<std::uint32_t>(link.timings().replyBudget.count()));
    std::uint32_t written = 0;
    const auto wanted = static_cast<std::uint32_t>(frameLength);
    const bool sent = WritePort(link.state.port, frame, wanted, &written) == kSerialOk && written == wanted;
    const int traced = static_cast<int>(written <= wanted ? written : wanted);
    TraceSent(frame, traced);
    if (link.hooks.observer != nullptr && traced > 0) link.hooks.observer->OnFrame(FrameDirection::kSent, frame, traced);
    return sent ? kLinkOk : kLinkFailed;
}

ReplyEnd ReadReplyUntil(LinkContext& link, char* buffer, int* length, LinkClock::time_point deadline,
                        int expectedLength) {
    char header[2] = {};
    std::uint32_t got = 0;
    int stored = 0;
    ReplyEnd end = ReplyEnd::kBroken;
    if (!ReadWithin(link, header, 2, &got)) {
        end = got == 0 ? ReplyEnd::kSilent : ReplyEnd::kBroken;
    } else if (header[0] == kHeaderChar && header[1] == kHeaderChar) {
        end = ReadBody(link, buffer, &stored, deadline, expectedLength > 2 ? expectedLength - 2 : 0);
    }
    const int headCount = static_cast<int>(got <= 2 ? got : 2);
    TraceReceived(header, headCount, buffer, stored);
    if (link.hooks.observer != nullptr) TellReceived(*link.hooks.observer, header, headCount, buffer, stored);
    if (end == ReplyEnd::kComplete) {
        *length = stored;
        link.state.replyArrived = LinkClock::now();
    }
    if (end == ReplyEnd::kBroken) link.state.resync = true;
    return end;
}

bool InputArrives(const LinkContext& link, LinkClock::time_point deadline) {
    const auto poll = link.timings().pollInterval;
    for (;;) {
        if (WaitingBytes(link.state.port) > 0) return true;
        const auto now = LinkClock::now();
        if (now >= deadline || link.Stopped()) return false;
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        Pause(static_cast<std::uint32_t>(std::min(poll, left).count()));
    }
}

void Resynchronise(LinkContext& link) {
    link.state.resync = false;
    const auto quiet = link.timings().quietTime;
    const auto end = LinkClock::now() + link.timings().replyBudget;
    for (;;) {
        const auto now = LinkClock::now();
        if (now >= end) return;
        const auto heard = InputArrives(link, std::min<LinkClock::time_point>(now + quiet, end));
        if (!heard) return;
        // Discards only what has arrived; a budget's worth at the most.
        PurgeInput(link.state.port, static_cast<std::uint32_t>(
                                  std::chrono::ceil<std::chrono::milliseconds>(end - LinkClock::now()).count()));
    }
}

}  // namespace kel
