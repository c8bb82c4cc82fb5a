#include "protocol/requests.h"

#include <cstring>

#include "protocol/frame.h"
#include "protocol/text_codec.h"

namespace kel {
namespace {

// Data bytes, least significant first, each as two upper-case hex digits.
void FormatData(std::uint32_t value, int bytes, char* out) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < bytes; ++i) {
        const std::uint32_t byte = (value >> (8 * i)) & 0xFFu;
        out[2 * i] = kHex[byte >> 4];
        out[2 * i + 1] = kHex[byte & 0xFu];
    }
}

// Head and the item's address fields; the payload length so far, 0 if the
// item has no wire form. Timers and counters name their number once here.
int FormatItem(const Item& item, const char* relay, const char* timer, const char* reg, char* payload) {
    if (IsRelayArea(item.area)) {
        FormatRequestHead(item.station, relay, payload);
        return FormatRelayField(item.area, item.address, payload + kRequestHeadLength) ? 12 : 0;
    }
    if (item.area == kAreaT) {
        FormatRequestHead(item.station, timer, payload);
        char octal[kOctalAddressSize];
        FormatOctalAddress(item.address, octal);  // a valid number has four digits
        std::memcpy(payload + kRequestHeadLength, octal, 4);
        return 11;
    }
    FormatRequestHead(item.station, reg, payload);
    return FormatRegisterRangeFields(item.area, item.address, item.address + item.bytes - 1,
                                     payload + kRequestHeadLength)
               ? 17
               : 0;
}

}  // namespace

void FormatRequestHead(std::int32_t station, const char* mnemonic, char* sevenBytes) {
    FormatStation(station, sevenBytes);
    sevenBytes[2] = '?';
    sevenBytes[3] = '0';
    std::memcpy(sevenBytes + 4, mnemonic, 3);
}

bool BuildReadRequest(const Item& item, Request* request) {
    if (!ValidItem(item)) return false;
    char* payload = request->payload;
    int length = FormatItem(item, "MRL", "MTC", "MRG", payload);
    if (length == 0) return false;
    if (item.area == kAreaT) {
        // One number, first and last: the value cell has room for one value.
        std::memcpy(payload + length, payload + kRequestHeadLength, 4);
        length += 4;
    }
    request->length = length;
    request->echoLength = length;
    return true;
}

bool BuildWriteRequest(const Item& item, std::int32_t value, Request* request) {
    if (!ValidItem(item) || !ValueFits(item, value)) return false;
    char* payload = request->payload;
    int length = FormatItem(item, "SRR", "SRT", "WRG", payload);
    if (length == 0) return false;
    if (IsRegisterArea(item.area)) {
        FormatData(static_cast<std::uint32_t>(value), item.bytes, payload + length);
        length += 2 * item.bytes;
    } else {
        payload[length++] = value == 1 ? '1' : '0';
    }
    request->length = length;
    request->echoLength = kRequestHeadLength;
    return true;
}

Request WriteModeRequest(std::int32_t station, int mode) {
    Request request;
    FormatRequestHead(station, "EWR", request.payload);
    request.payload[kRequestHeadLength] = static_cast<char>('0' + mode);
    request.length = kRequestHeadLength + 1;
    request.echoLength = kRequestHeadLength;
    return request;
}

}  // namespace kel
