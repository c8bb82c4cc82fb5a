// The computer-link frame as bytes: wrapping a request payload, the
// checksum, and judging a reply body against the request it answers. Pure
// functions: no I/O, no logging, no state.
#pragma once

#include <cstdint>

namespace kel {

// A frame on the line, either way: two header characters "::", the body,
// two checksum digits, CR.
inline constexpr char kHeaderChar = ':';
inline constexpr char kCarriageReturn = '\r';
// What ends a body: two checksum digits and CR.
inline constexpr int kChecksumAndCr = 3;

// A request frame: "::", payload, two checksum digits, CR.
inline constexpr int kFrameBufferSize = 600;
inline constexpr int kFrameOverhead = 5;
inline constexpr int kMaxPayloadLength = kFrameBufferSize - kFrameOverhead;

// Room for a reply body, its CR included.
inline constexpr int kReplyBufferSize = 600;

// The request head every payload starts with: station (2), "?", "0",
// mnemonic (3).
inline constexpr int kRequestHeadLength = 7;

// Status after "%" that asks for write mode.
inline constexpr std::uint32_t kStatusWriteModeRequired = 0x10;

// Two's complement of the 8-bit sum of the bytes; 0 for a count of 0 or less.
std::uint8_t FrameChecksum(const char* bytes, int count);

// Writes the frame for payload into frame (kFrameBufferSize bytes); its
// length, or 0 for a negative length or one above kMaxPayloadLength.
int BuildFrame(const char* payload, int length, char* frame);

// Whether the checksum digits at body offsets length - 3 and length - 2 are
// two upper-case hexadecimal digits and, added to the 8-bit sum of the bytes
// before them, give 0 modulo 256. A garbled digit is never read leniently: a
// single bit flipped in it ("B" to "R") would otherwise still add up.
bool ChecksumMatches(const char* body, int length);

enum class ReplyVerdict {
    kAccepted,           // "#", same station, "0" and mnemonic, sound checksum
    kMismatch,           // another station, "0" or mnemonic, or a wrong checksum
    kWriteModeRequired,  // "%" with status 0x10
    kRefused,            // "%" with another status
    kInvalid,            // no status character "#" or "%" (or the body is too short for it)
};

struct ReplyCheck {
    ReplyVerdict verdict = ReplyVerdict::kInvalid;
    std::uint32_t status = 0;  // after "%"
};

// Checks a reply body of length bytes (CR included) against the request
// payload that was sent: station, status, the "0" byte, mnemonic, then
// checksum; the first failing check decides, so a refusal is never
// checksummed and a reply of another station never counts as a refusal.
// Only the length bytes of the body are read. request must hold at least
// kRequestHeadLength bytes.
ReplyCheck CheckReply(const char* body, const char* request, int length);

// The refusals the controller documents as errors, worth logging.
bool IsDocumentedErrorStatus(std::uint32_t status);

// True when body is an accepted reply to a request with this payload: the
// same station, "#", the same "0", and the payload's bytes 4 to echoLength
// (the mnemonic and the fields a read reply repeats) at the same offsets.
bool Answers(const char* body, int length, const char* payload, int echoLength);

// True when body is an accepted reply from the same station with the same
// "0" and mnemonic, whatever fields it repeats.
bool AnswersSameKind(const char* body, int length, const char* payload);

}  // namespace kel
