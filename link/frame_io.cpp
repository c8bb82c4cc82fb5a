#include "link/frame_io.h"

#include <cstdint>

#include "host/line_trace.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kHeaderChar = ':';

bool ReadByte(Line& line, char* destination) {
    std::uint32_t got = 0;
    return ReadPort(line.port, destination, 1, &got) == kSerialOk && got == 1;
}

// The frame's body, after its "::", into buffer; how it ended.
ReplyEnd ReadBody(Line& line, char* buffer, int* stored, LinkClock::time_point deadline) {
    // Each byte waits up to the read timeout; the deadline bounds the whole
    // frame, so a line that dribbles or streams noise cannot hold it.
    while (*stored < kReplyBufferSize) {
        if (!ReadByte(line, buffer + *stored)) return ReplyEnd::kBroken;
        if (buffer[(*stored)++] == kCarriageReturn) return ReplyEnd::kComplete;
        if (LinkClock::now() > deadline) return ReplyEnd::kBroken;
    }
    return ReplyEnd::kBroken;
}

}  // namespace

int SendFrame(Line& line, const char* payload, int length) {
    char frame[kFrameBufferSize];
    const int frameLength = BuildFrame(payload, length, frame);
    if (frameLength == 0) return kLinkFailed;
    // Bytes left from an earlier exchange would be taken for this one's reply.
    PurgeInput(line.port, static_cast<std::uint32_t>(ReplyBudget(line).count()));
    std::uint32_t written = 0;
    const auto wanted = static_cast<std::uint32_t>(frameLength);
    const bool sent = WritePort(line.port, frame, wanted, &written) == kSerialOk && written == wanted;
    TraceSent(frame, static_cast<int>(written <= wanted ? written : wanted));
    return sent ? kLinkOk : kLinkFailed;
}

ReplyEnd ReadReplyUntil(Line& line, char* buffer, int* length, LinkClock::time_point deadline) {
    char header[2] = {};
    std::uint32_t got = 0;
    int stored = 0;
    ReplyEnd end = ReplyEnd::kBroken;
    if (ReadPort(line.port, header, 2, &got) != kSerialOk || got != 2) {
        end = got == 0 ? ReplyEnd::kSilent : ReplyEnd::kBroken;
    } else if (header[0] == kHeaderChar && header[1] == kHeaderChar) {
        end = ReadBody(line, buffer, &stored, deadline);
    }
    TraceReceived(header, static_cast<int>(got <= 2 ? got : 2), buffer, stored);
    if (end == ReplyEnd::kComplete) *length = stored;
    return end;
}

}  // namespace kel
