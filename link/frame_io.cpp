#include "link/frame_io.h"

#include <cstdint>

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

}  // namespace

int SendFrame(Line& line, const char* payload, int length) {
    char frame[kFrameBufferSize];
    const int frameLength = BuildFrame(payload, length, frame);
    if (frameLength == 0) return kLinkFailed;
    // Bytes left from an earlier exchange would be taken for this one's reply.
    PurgeInput(line.port, static_cast<std::uint32_t>(ReplyBudget(line).count()));
    std::uint32_t written = 0;
    const auto wanted = static_cast<std::uint32_t>(frameLength);
    return WritePort(line.port, frame, wanted, &written) == kSerialOk && written == wanted ? kLinkOk : kLinkFailed;
}

ReplyEnd ReadReplyUntil(Line& line, char* buffer, int* length, LinkClock::time_point deadline) {
    char header[2] = {};
    std::uint32_t got = 0;
    if (ReadPort(line.port, header, 2, &got) != kSerialOk || got != 2) {
        return got == 0 ? ReplyEnd::kSilent : ReplyEnd::kBroken;
    }
    if (header[0] != kHeaderChar || header[1] != kHeaderChar) return ReplyEnd::kBroken;
    // Each byte waits up to the read timeout; the deadline bounds the whole
    // frame, so a line that dribbles or streams noise cannot hold it.
    for (int stored = 0; stored < kReplyBufferSize;) {
        if (!ReadByte(line, buffer + stored)) return ReplyEnd::kBroken;
        if (buffer[stored++] == kCarriageReturn) {
            *length = stored;
            return ReplyEnd::kComplete;
        }
        if (LinkClock::now() > deadline) return ReplyEnd::kBroken;
    }
    return ReplyEnd::kBroken;
}

}  // namespace kel
