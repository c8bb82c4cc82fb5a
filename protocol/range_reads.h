// Reading a run of consecutive items in one exchange: register bytes of one
// area with "MRG" (first and last byte), timer/counter numbers with "MTC"
// (first and last number). The run is bounded so that its whole reply frame
// fits the link's reply buffer.
#pragma once

#include <cstdint>

#include "protocol/areas.h"
#include "protocol/frame.h"
#include "protocol/requests.h"

namespace kel {

// The reply to a run: "::", station, "#", "0", mnemonic (the request head),
// the repeated fields, the data, two checksum digits and CR.
inline constexpr int kRangeReplyOverhead = 2 + kRequestHeadLength + 3;
inline constexpr int kRegisterRangeFields = 10;  // "A0100A0177"
inline constexpr int kTimerRangeFields = 8;      // "00100017"
inline constexpr int kRegisterByteChars = 2;     // two hex digits
inline constexpr int kTimerNumberChars = 6;      // four value characters and the item's two

inline constexpr int kMaxRegisterRun = (kReplyBufferSize - kRangeReplyOverhead - kRegisterRangeFields) / kRegisterByteChars;
inline constexpr int kMaxTimerRun = (kReplyBufferSize - kRangeReplyOverhead - kTimerRangeFields) / kTimerNumberChars;
inline constexpr int kMaxRangeItems = kMaxRegisterRun > kMaxTimerRun ? kMaxRegisterRun : kMaxTimerRun;

// count items of area from first: register bytes for MA to M39, numbers for T.
struct ItemRange {
    std::int32_t station = 0;
    std::int32_t area = kAreaMA;
    std::int32_t first = 0;
    std::int32_t count = 0;
};

// Most items of a run of that area: kMaxRegisterRun for a register area,
// kMaxTimerRun for T, 0 for any other.
int MaxRunItems(std::int32_t area);

// Station within range, a register or timer/counter area, 1 to MaxRunItems
// items that all lie within the area.
bool ValidRange(const ItemRange& range);

// Characters the reply frame to the range takes on the line, "::" to CR; 0
// for a range that is not valid.
int RangeReplyLength(const ItemRange& range);

// "MRG" or "MTC" with the first and last item; false, with nothing built,
// for a range that is not valid.
bool BuildRangeReadRequest(const ItemRange& range, Request* request);

// What a run's reply delivered, item by item from the first.
struct RangeValues {
    std::int32_t values[kMaxRangeItems] = {};  // a byte 0 to 255, or a timer/counter value
    bool delivered[kMaxRangeItems] = {};       // false: the item's type withheld its value
};

// Decodes an accepted reply body (length bytes, CR included) to the range's
// request; false when its length is not exactly what the range needs, which
// makes it another request's answer.
bool DecodeRangeReply(const ItemRange& range, const Request& request, const char* body, int length,
                      RangeValues* values);

}  // namespace kel
