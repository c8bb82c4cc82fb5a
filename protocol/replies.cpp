#include "protocol/replies.h"

#include "protocol/frame.h"
#include "protocol/text_codec.h"

namespace kel {
namespace {

constexpr int kTimerDataLength = 6;  // four value characters, then the item's two

int Digit(char c) { return static_cast<unsigned char>(c) - '0'; }

int DataLength(const Item& item) {
    if (IsRelayArea(item.area)) return 1;
    if (item.area == kAreaT) return kTimerDataLength;
    return 2 * item.bytes;
}

}  // namespace

// The first pair of characters holds tens and units, the second thousands
// and hundreds, and of the thousands character only the lowest bit counts.
// Type "4" is a timer (tenths below number 192, hundredths from there on),
// "2" a counter; both carry the value as it stands.
ReadData DecodeTimerCounter(const char* data, char type, std::int32_t number, std::int32_t* value) {
    const auto thousands = static_cast<unsigned char>(data[2]);
    const std::int32_t decoded =
        (1000 * (thousands & 1) + 100 * Digit(data[3]) + 10 * Digit(data[0]) + Digit(data[1])) & 0xFFFF;
    if (type == '4' || (type == '2' && number <= 255)) {
        *value = decoded;
        return ReadData::kValue;
    }
    return ReadData::kWithheld;
}

ReadData DecodeReadReply(const Item& item, const Request& request, const char* body, int length,
                         std::int32_t* value) {
    // A reply too short for its data would leave other bytes in the data
    // positions.
    if (request.length + DataLength(item) > length - kChecksumAndCr) return ReadData::kTooShort;
    const char* data = body + request.length;
    if (IsRelayArea(item.area)) {
        *value = Digit(data[0]);
        return ReadData::kValue;
    }
    if (item.area == kAreaT) return DecodeTimerCounter(data, data[5], item.address, value);
    *value = static_cast<std::int32_t>(HexValue(data, item.bytes));
    return ReadData::kValue;
}

}  // namespace kel
