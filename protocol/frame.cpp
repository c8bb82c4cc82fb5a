#include "protocol/frame.h"

#include <cstddef>
#include <cstring>

#include "protocol/text_codec.h"

namespace kel {
namespace {

constexpr char kStatusAccepted = '#';
constexpr char kStatusRefused = '%';
constexpr int kStatusCharOffset = 2;
constexpr int kStatusDigitsOffset = 4;

constexpr std::uint32_t kDocumentedStatuses[] = {
    0x01, 0x02, 0x05, 0x06, 0x07, 0x0A, 0x0B, 0x0C, 0x0D,
    0x0E, 0x11, 0x12, 0x1B, 0x30, 0x31, 0x32, 0x33,
};

// Equal bytes at offsets [first, first + count) of body and request, where a
// body offset at or beyond length was never stored and so never matches.
bool SameBytes(const char* body, const char* request, int first, int count, int length) {
    if (first + count > length) return false;
    return std::memcmp(body + first, request + first, static_cast<std::size_t>(count)) == 0;
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

ReplyCheck Verdict(ReplyVerdict verdict) { return {verdict, 0}; }

// The status character and, after "%", the status.
ReplyCheck CheckStatus(const char* body, int length) {
    if (length <= kStatusCharOffset) return Verdict(ReplyVerdict::kInvalid);
    if (body[kStatusCharOffset] == kStatusAccepted) return Verdict(ReplyVerdict::kAccepted);
    if (body[kStatusCharOffset] != kStatusRefused || length < kStatusDigitsOffset + 2) {
        return Verdict(ReplyVerdict::kInvalid);
    }
    const std::uint32_t status = HexValue(body + kStatusDigitsOffset, 1);
    return {status == kStatusWriteModeRequired ? ReplyVerdict::kWriteModeRequired : ReplyVerdict::kRefused,
            status};
}

}  // namespace

std::uint8_t FrameChecksum(const char* bytes, int count) {
    std::uint8_t sum = 0;
    for (int i = 0; i < count; ++i) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(bytes[i]));
    return static_cast<std::uint8_t>(0u - sum);
}

int BuildFrame(const char* payload, int length, char* frame) {
    if (length < 0 || length > kMaxPayloadLength || (length > 0 && payload == nullptr)) return 0;
    frame[0] = kHeaderChar;
    frame[1] = kHeaderChar;
    if (length > 0) std::memcpy(frame + 2, payload, static_cast<std::size_t>(length));
    static constexpr char kDigits[] = "0123456789abcdef";
    const std::uint8_t checksum = FrameChecksum(payload, length);
    char* tail = frame + 2 + length;
    tail[0] = UpcaseChar(kDigits[checksum >> 4]);
    tail[1] = UpcaseChar(kDigits[checksum & 0x0F]);
    tail[2] = kCarriageReturn;
    return length + kFrameOverhead;
}

bool ChecksumMatches(const char* body, int length) {
    const int digits = length - kChecksumAndCr;
    if (digits < 0 || !IsUpperHex(body[digits]) || !IsUpperHex(body[digits + 1])) return false;
    std::uint32_t total = HexValue(body + digits, 1);
    for (int i = 0; i < digits; ++i) total += static_cast<std::uint8_t>(body[i]);
    return (total & 0xFFu) == 0;
}

ReplyCheck CheckReply(const char* body, const char* request, int length) {
    // No stored body is longer than its buffer.
    if (length > kReplyBufferSize || !SameBytes(body, request, 0, 2, length)) {
        return Verdict(ReplyVerdict::kMismatch);
    }
    const ReplyCheck status = CheckStatus(body, length);
    if (status.verdict != ReplyVerdict::kAccepted) return status;
    if (!SameBytes(body, request, 3, 1, length) || !SameBytes(body, request, 4, 3, length)) {
        return Verdict(ReplyVerdict::kMismatch);
    }
    // The mnemonic matched, so the checksum digits lie within the body.
    return Verdict(ChecksumMatches(body, length) ? ReplyVerdict::kAccepted : ReplyVerdict::kMismatch);
}

bool IsDocumentedErrorStatus(std::uint32_t status) {
    for (const std::uint32_t documented : kDocumentedStatuses) {
        if (status == documented) return true;
    }
    return false;
}

bool AnswersSameKind(const char* body, int length, const char* payload) {
    if (length < kRequestHeadLength + kChecksumAndCr) return false;
    return body[kStatusCharOffset] == kStatusAccepted && std::memcmp(body, payload, 2) == 0 &&
           body[3] == payload[3] && std::memcmp(body + 4, payload + 4, 3) == 0 && ChecksumMatches(body, length);
}

bool Answers(const char* body, int length, const char* payload, int echoLength) {
    if (echoLength < kRequestHeadLength || length < echoLength + kChecksumAndCr) return false;
    return AnswersSameKind(body, length, payload) &&
           std::memcmp(body + kRequestHeadLength, payload + kRequestHeadLength,
                       static_cast<std::size_t>(echoLength - kRequestHeadLength)) == 0;
}

}  // namespace kel
