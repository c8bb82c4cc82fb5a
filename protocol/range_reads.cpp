#include "protocol/range_reads.h"

#include <cstring>

#include "protocol/replies.h"
#include "protocol/text_codec.h"

namespace kel {
namespace {

int ItemChars(std::int32_t area) { return area == kAreaT ? kTimerNumberChars : kRegisterByteChars; }
int FieldChars(std::int32_t area) { return area == kAreaT ? kTimerRangeFields : kRegisterRangeFields; }

// A byte's two digits as the controller sends them; anything else would
// decode to a value the byte cannot hold.
bool IsHexPair(const char* pair) {
    for (int i = 0; i < 2; ++i) {
        const char c = pair[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
    }
    return true;
}

}  // namespace

int MaxRunItems(std::int32_t area) {
    if (IsRegisterArea(area)) return kMaxRegisterRun;
    return area == kAreaT ? kMaxTimerRun : 0;
}

bool ValidRange(const ItemRange& range) {
    const int most = MaxRunItems(range.area);
    if (most == 0 || range.station < 0 || range.station > kMaxStation) return false;
    if (range.count < 1 || range.count > most || range.first < 0) return false;
    return range.first <= AreaItemCount(range.area) - range.count;
}

int RangeReplyLength(const ItemRange& range) {
    if (!ValidRange(range)) return 0;
    return kRangeReplyOverhead + FieldChars(range.area) + ItemChars(range.area) * range.count;
}

bool BuildRangeReadRequest(const ItemRange& range, Request* request) {
    if (!ValidRange(range)) return false;
    char* payload = request->payload;
    const std::int32_t last = range.first + range.count - 1;
    if (range.area == kAreaT) {
        FormatRequestHead(range.station, "MTC", payload);
        char octal[kOctalAddressSize];
        FormatOctalAddress(range.first, octal);  // a valid number has four digits
        std::memcpy(payload + kRequestHeadLength, octal, 4);
        FormatOctalAddress(last, octal);
        std::memcpy(payload + kRequestHeadLength + 4, octal, 4);
    } else {
        FormatRequestHead(range.station, "MRG", payload);
        if (!FormatRegisterRangeFields(range.area, range.first, last, payload + kRequestHeadLength)) return false;
    }
    request->length = kRequestHeadLength + FieldChars(range.area);
    request->echoLength = request->length;
    request->replyLength = RangeReplyLength(range);
    return true;
}

bool DecodeRangeReply(const ItemRange& range, const Request& request, const char* body, int length,
                      RangeValues* values) {
    if (!ValidRange(range) || length != request.length + ItemChars(range.area) * range.count + kChecksumAndCr) {
        return false;
    }
    const char* data = body + request.length;
    for (int i = 0; i < range.count; ++i) {
        if (range.area != kAreaT) {
            const char* pair = data + kRegisterByteChars * i;
            if (!IsHexPair(pair)) return false;
            values->values[i] = HexByte(pair);
            values->delivered[i] = true;
            continue;
        }
        // Every number's four value characters first, then every item's two.
        const char type = data[4 * range.count + 2 * i + 1];
        values->delivered[i] =
            DecodeTimerCounter(data + 4 * i, type, range.first + i, &values->values[i]) == ReadData::kValue;
    }
    return true;
}

}  // namespace kel
