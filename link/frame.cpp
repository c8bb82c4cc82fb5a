#include "link/frame.h"

#include <cstring>

#include "driver/host_log.h"
#include "link/text_codec.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kHeaderChar = ':';
constexpr char kStatusAccepted = '#';
constexpr char kStatusRefused = '%';
constexpr int kStatusCharOffset = 2;
constexpr int kStatusDigitsOffset = 4;

// The refusals the controller documents as errors; the others pass silently.
constexpr std::uint32_t kLoggedStatuses[] = {
    0x01, 0x02, 0x05, 0x06, 0x07, 0x0A, 0x0B, 0x0C, 0x0D,
    0x0E, 0x11, 0x12, 0x1B, 0x30, 0x31, 0x32, 0x33,
};

bool IsLoggedStatus(std::uint32_t status) {
    for (const std::uint32_t logged : kLoggedStatuses) {
        if (status == logged) return true;
    }
    return false;
}

// Equal bytes at offsets [first, first + count) of body and request, where a
// body offset at or beyond length was never stored and so never matches.
bool SameBytes(const char* body, const char* request, int first, int count, int length) {
    if (first + count > length) return false;
    return std::memcmp(body + first, request + first, static_cast<std::size_t>(count)) == 0;
}

}  // namespace

std::uint8_t FrameChecksum(const char* bytes, int count) {
    std::uint8_t sum = 0;
    for (int i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(bytes[i]));
    return static_cast<std::uint8_t>(0u - sum);
}

int SendFrame(DriverState* state, const char* payload, int length) {
    if (length < 0 || length > kMaxPayloadLength) return kFrameFailed;
    if (length > 0 && payload == nullptr) return kFrameFailed;

    char frame[kFrameBufferSize];
    frame[0] = kHeaderChar;
    frame[1] = kHeaderChar;
    if (length > 0) std::memcpy(frame + 2, payload, static_cast<std::size_t>(length));

    static constexpr char kDigits[] = "0123456789abcdef";
    const std::uint8_t checksum = FrameChecksum(payload, length);
    char* tail = frame + 2 + length;
    tail[0] = UpcaseChar(kDigits[checksum >> 4]);
    tail[1] = UpcaseChar(kDigits[checksum & 0x0F]);
    tail[2] = kCarriageReturn;

    return PurgeAndWrite(state, frame, length + kFrameOverhead) ? kFrameOk : kFrameFailed;
}

bool PurgeAndWrite(DriverState* state, const char* bytes, int count) {
    if (count < 0) return false;
    // Bytes left from an earlier exchange would be taken for this one's reply.
    PurgeInput(state->portHandle, static_cast<std::uint32_t>(ReplyBudget(*state).count()));
    std::uint32_t written = 0;
    const auto wanted = static_cast<std::uint32_t>(count);
    return WritePort(state->portHandle, bytes, wanted, &written) == kSerialOk && written == wanted;
}

bool ReadExact(DriverState* state, char* destination, int count) {
    if (count < 0 || count > 0xFFFF) return false;
    std::uint32_t got = 0;
    const auto wanted = static_cast<std::uint16_t>(count);
    return ReadPort(state->portHandle, destination, wanted, &got) == kSerialOk && got == wanted;
}

ReplyEnd ReadReplyUntil(DriverState* state, char* buffer, int* length, LinkClock::time_point deadline) {
    char header[2] = {};
    std::uint32_t got = 0;
    if (ReadPort(state->portHandle, header, 2, &got) != kSerialOk || got != 2) {
        return got == 0 ? ReplyEnd::kSilent : ReplyEnd::kBroken;
    }
    if (header[0] != kHeaderChar || header[1] != kHeaderChar) return ReplyEnd::kBroken;
    // Each byte waits up to the read timeout; the deadline bounds the whole
    // frame, so a line that dribbles or streams noise cannot hold it.
    for (int stored = 0; stored < kReplyBufferSize;) {
        if (!ReadExact(state, buffer + stored, 1)) return ReplyEnd::kBroken;
        if (buffer[stored++] == kCarriageReturn) {
            *length = stored;
            return ReplyEnd::kComplete;
        }
        if (LinkClock::now() > deadline) return ReplyEnd::kBroken;
    }
    return ReplyEnd::kBroken;
}

int ReadReply(DriverState* state, char* buffer, int* length) {
    const ReplyEnd end = ReadReplyUntil(state, buffer, length, LinkClock::now() + ReplyBudget(*state));
    return end == ReplyEnd::kComplete ? kFrameOk : kFrameFailed;
}

int CheckStatus(DriverState* state, const char* body) {
    switch (body[kStatusCharOffset]) {
        case kStatusAccepted:
            return kFrameOk;
        case kStatusRefused:
            break;
        default:
            return kFrameFailed;
    }
    const std::uint32_t status = HexValue(body + kStatusDigitsOffset, 1);
    if (status == kStatusWriteModeRequired) {
        state->WriteEnablePending = 1;
        return kFrameMismatch;
    }
    if (IsLoggedStatus(status)) {
        HostLog(kLogInfo, "KELSRP : Status Error: STS = %x", static_cast<unsigned int>(status));
    }
    return kFrameFailed;
}

bool ChecksumMatches(const char* body, int length) {
    const int digits = length - 3;
    const auto isDigit = [](char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); };
    if (digits < 0 || !isDigit(body[digits]) || !isDigit(body[digits + 1])) return false;
    std::uint32_t total = HexValue(body + digits, 1);
    for (int i = 0; i < digits; ++i) total += static_cast<std::uint8_t>(body[i]);
    return (total & 0xFFu) == 0;
}

int CheckReply(DriverState* state, const char* body, const char* request, int length) {
    // No body ReadReply stores is longer than its buffer.
    if (length > kReplyBufferSize) return kFrameMismatch;
    if (!SameBytes(body, request, 0, 2, length)) return kFrameMismatch;

    // A status character or status digits the body is too short to hold make
    // no valid reply; such a body must not reach CheckStatus, which reads
    // them at fixed offsets.
    if (length <= kStatusCharOffset) return kFrameFailed;
    if (body[kStatusCharOffset] == kStatusRefused && length < kStatusDigitsOffset + 2) return kFrameFailed;
    const int status = CheckStatus(state, body);
    if (status != kFrameOk) return status;

    if (!SameBytes(body, request, 3, 1, length)) return kFrameMismatch;
    if (!SameBytes(body, request, 4, 3, length)) return kFrameMismatch;

    // The mnemonic matched, so length is at least 7 and the checksum digits
    // at length - 3 lie within the stored body.
    return ChecksumMatches(body, length) ? kFrameOk : kFrameMismatch;
}

}  // namespace kel
