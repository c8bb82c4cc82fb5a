// The computer-link frame on the line: wrapping a request payload into a
// frame and sending it, reading a reply frame, and checking the reply against
// its request. Each operation makes one pass over the line through the serial
// layer, on the port of the DriverState; none retries, allocates or keeps
// state. Their result codes are the frame layer's own; the transactions map
// them.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"
#include "link/port_state.h"

namespace kel {

enum FrameResult : int {
    kFrameOk = 0,
    kFrameMismatch = 1,  // reply of another request, wrong checksum, or write mode asked for
    kFrameFailed = 2,    // line failed, no "::" header, refused by the controller, bad status character
};

// The frame SendFrame builds: "::", payload, two checksum digits, CR.
inline constexpr int kFrameBufferSize = 600;
inline constexpr int kFrameOverhead = 5;
inline constexpr int kMaxPayloadLength = kFrameBufferSize - kFrameOverhead;

// Room of every reply buffer: a reply body, its CR included, must end within it.
inline constexpr int kReplyBufferSize = 600;

// The request head every payload starts with and CheckReply compares:
// station (2), "?", "0", mnemonic (3).
inline constexpr int kRequestHeadLength = 7;

// Status after "%" that asks for write mode.
inline constexpr std::uint32_t kStatusWriteModeRequired = 0x10;

// Two's complement of the 8-bit sum of the bytes; 0 for a count of 0 or less.
std::uint8_t FrameChecksum(const char* bytes, int count);

// Sends payload as one frame, after discarding input left from an earlier
// exchange. kFrameFailed when the frame was not written completely, and for
// a negative length or one above kMaxPayloadLength, which touch no port.
int SendFrame(DriverState* state, const char* payload, int length);

// Purges waiting input (its result does not matter), then writes the bytes;
// true only when every byte was written.
bool PurgeAndWrite(DriverState* state, const char* bytes, int count);

// True only when exactly count bytes were read into destination.
bool ReadExact(DriverState* state, char* destination, int count);

// How reading one reply frame ended.
enum class ReplyEnd {
    kComplete,  // "::", a body and its CR
    kSilent,    // nothing at all arrived
    kBroken,    // bytes arrived, but no whole frame: no "::", cut short, too long, too slow
};

// Reads a reply frame into buffer (kReplyBufferSize bytes): "::" first (there
// is no search for it: any other byte there breaks the reply), the body after
// "::" up to and including its CR, one byte per read, so a reply that stops
// arriving fails after one read timeout. On kComplete *length holds the bytes
// stored, CR included; otherwise it is left alone. A body that has not ended
// when the buffer is full, or by the deadline, is broken without storing
// more; the next SendFrame's purge discards the rest.
ReplyEnd ReadReplyUntil(DriverState* state, char* buffer, int* length, LinkClock::time_point deadline);

// ReadReplyUntil within one reply budget from now: kFrameOk or kFrameFailed.
int ReadReply(DriverState* state, char* buffer, int* length);

// The status character at body offset 2 and, after "%", the status at
// offsets 4 and 5. Status 0x10 sets WriteEnablePending and gives
// kFrameMismatch; the error statuses the controller documents are logged.
// body must hold at least 6 bytes, as every reply buffer does.
int CheckStatus(DriverState* state, const char* body);

// Whether the checksum digits at body offsets length - 3 and length - 2 are
// two upper-case hexadecimal digits and, added to the 8-bit sum of the bytes
// before them, give 0 modulo 256. A garbled digit is never read leniently: a
// single bit flipped in it ("B" to "R") would otherwise still add up.
// length must be at least 3.
bool ChecksumMatches(const char* body, int length);

// Checks a stored reply body of length bytes against the request payload
// that was sent: station, status, the "0" byte, mnemonic, then checksum; the
// first failing check decides. Only the length bytes of the body are read,
// so stale bytes of an earlier reply behind it never count: a station, "0"
// or mnemonic the body is too short to hold does not match (kFrameMismatch),
// a missing status character or status is no valid reply (kFrameFailed), and
// a length above kReplyBufferSize, which no stored body has, does not match.
// request must hold at least kRequestHeadLength bytes.
int CheckReply(DriverState* state, const char* body, const char* request, int length);

}  // namespace kel
