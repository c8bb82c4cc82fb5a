// The simulator's side of the computer link as functions over bytes, apart
// from any I/O: finding request frames in a byte stream, answering a request
// payload from a controller's memory, and wrapping (or, for fault
// injection, damaging) a reply. The serving thread, the tests and any fuzzer
// use the same functions.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "protocol/frame.h"
#include "tools/jwsim/controller.h"

namespace kel::jwsim {

// Statuses the simulator puts after "%" (two upper-case hex digits).
// Unknown mnemonic, no "?" at offset 2, a response-time character that is
// not a hex digit, or command fields of the wrong length.
inline constexpr std::uint8_t kStatusCommandError = 0x01;
// A non-octal digit in an address, an unknown area character, two area
// characters that differ, a file-register address without its "9", an
// address outside its area, or a first address above the last.
inline constexpr std::uint8_t kStatusAddressError = 0x05;
// WRG data that is not exactly two upper-case hex digits per addressed
// byte, an SRR state other than 0 and 1, or an EWR mode other than 0, 1
// and 2.
inline constexpr std::uint8_t kStatusDataError = 0x06;
// SRR, SRT or WRG to a protected controller in write mode 0.
inline constexpr std::uint8_t kStatusWriteProtected = static_cast<std::uint8_t>(kStatusWriteModeRequired);

// Bytes after "::" without a CR at which a request is given up: the driver's
// frames are at most 600 bytes in all.
inline constexpr std::size_t kMaxRequestLength = 600;

// A request as it came off the line.
struct ReceivedRequest {
    std::string payload;   // between "::" and the two checksum digits
    std::string checksum;  // the digits as they came (fewer if the frame was shorter)
    bool checksumOk = false;

    bool operator==(const ReceivedRequest&) const = default;
};

// Finds "::" ... CR frames in a byte stream fed in pieces of any size.
// Bytes outside a frame are ignored; a "::" inside a frame starts it over
// (a request cut short must not swallow the next one); a frame that reaches
// kMaxRequestLength bytes without a CR is dropped.
class RequestFramer {
public:
    void Feed(const char* bytes, std::size_t count, std::vector<ReceivedRequest>* requests);

private:
    bool inFrame_ = false;
    bool colon_ = false;
    std::string frame_;
};

// The checksum of bytes as two upper-case hex digits (kel::FrameChecksum).
std::string ChecksumDigits(const std::string& bytes);
// "::", body, its checksum digits, CR.
std::string FrameFor(const std::string& body);

// The station the two first payload characters name (octal), or -1.
int StationOf(const std::string& payload);

// station, "%", the request's response-time digit ("0" if it has none),
// status as two upper-case hex digits.
std::string ErrorBody(const std::string& payload, std::uint8_t status);

// The reply body (no checksum, no CR) a controller gives for a request
// payload addressed to it, carrying out writes and EWR on controller.
// Reads: station, "#", the response-time digit, mnemonic, the request's
// fields after the mnemonic, then the data. Writes and EWR are acknowledged
// with the first seven characters alone ("01#0EWR"). Refusals: ErrorBody.
std::string ReplyBodyFor(const std::string& payload, Controller& controller);

enum class FaultKind {
    kNoReply,        // nothing is sent
    kWrongChecksum,  // checksum digits one above the right ones
    kOtherStation,   // the next station number (63 wraps to 0), checksum right
    kErrorStatus,    // "%" with Fault::status; the request is not carried out
    kCutShort,       // the first half of the frame, no CR
    kNoHeader,       // the frame without its "::"
    kOverLong,       // "::", body, then 800 more characters and no CR
    kGarbageBefore,  // Fault::garbage, then the frame
    kDelay,          // the frame, sent Fault::delay late
    kDribble,        // the frame one byte at a time, Fault::delay between bytes
};

// A fault for the next `replies` replies the simulator would send. Except
// for kErrorStatus the request is carried out; only its reply suffers.
struct Fault {
    FaultKind kind = FaultKind::kNoReply;
    int replies = 1;
    std::uint8_t status = 0;
    std::chrono::milliseconds delay {0};
    std::string garbage = std::string("\0x\xFF", 3);
};

// A fault of that kind for one reply, with the settings a person would pick
// first: status 0x0B for an error status, 1500 ms late, 50 ms between
// dribbled bytes.
Fault DefaultFault(FaultKind kind, int replies = 1);

// The fault kinds by name, as the command line takes them: "no-reply",
// "wrong-checksum", "other-station", "error-status", "cut-short",
// "no-header", "over-long", "garbage", "late", "dribble".
const std::vector<std::pair<std::string, FaultKind>>& FaultKindNames();

// What goes on the line for body under fault (kDelay, kDribble: the plain
// frame; the caller paces it).
std::string FaultyFrame(const std::string& body, const Fault& fault);

// bytes with control and non-ASCII characters escaped: CR as \r, LF as \n,
// others as \xNN, the backslash as \\.
std::string Escaped(const std::string& bytes);

}  // namespace kel::jwsim
