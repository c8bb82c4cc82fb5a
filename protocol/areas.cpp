#include "protocol/areas.h"

namespace kel {
namespace {

// The low count octal digits of value, zero-padded; true when none was lost.
bool OctalDigits(std::int32_t value, int count, char* out) {
    auto rest = static_cast<std::uint32_t>(value);
    for (int i = count - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + (rest & 7u));
        rest >>= 3;
    }
    return value >= 0 && rest == 0;
}

}  // namespace

std::int32_t AreaItemCount(std::int32_t area) {
    switch (area) {
        case kAreaR: return kRelayCount;
        case kAreaRT: return kRtRelayCount;
        case kAreaT: return kTimerCount;
        case kAreaMA: return kRegisterACount;
        case kAreaMB:
        case kAreaM09:
        case kAreaM19:
        case kAreaM29:
        case kAreaM39: return kRegisterCount;
        default: return 0;
    }
}

bool IsRelayArea(std::int32_t area) { return area == kAreaR || area == kAreaRT; }

bool IsRegisterArea(std::int32_t area) { return area >= kAreaMA && area <= kAreaM39; }

char RegisterAreaChar(std::int32_t area) {
    switch (area) {
        case kAreaMA: return 'A';
        case kAreaMB: return 'B';
        case kAreaM09: return '0';
        case kAreaM19: return '1';
        case kAreaM29: return '2';
        default: return '3';
    }
}

int RegisterBytes(std::int32_t widthBits) {
    switch (widthBits) {
        case 8: return 1;
        case 16: return 2;
        case 32: return 4;
        default: return 0;
    }
}

bool ValidItem(const Item& item) {
    const std::int32_t items = AreaItemCount(item.area);
    if (items == 0 || item.station < 0 || item.station > kMaxStation) return false;
    if (item.address < 0 || item.address >= items) return false;
    if (!IsRegisterArea(item.area)) return true;
    return (item.bytes == 1 || item.bytes == 2 || item.bytes == 4) && item.address + item.bytes <= items;
}

bool ValueFits(const Item& item, std::int32_t value) {
    if (IsRelayArea(item.area) || item.area == kAreaT) return value == 0 || value == 1;
    if (IsRegisterArea(item.area) && item.bytes == 1) return value >= 0 && value <= 255;
    return true;
}

bool FormatRegisterAddress(std::int32_t area, std::int32_t byteAddress, char* fourDigits) {
    const bool fits = OctalDigits(byteAddress, 4, fourDigits);
    if (area < kAreaM09 || area > kAreaM39) return fits;
    // The "9" takes the place of the first digit, which must be 0.
    const bool firstFree = fourDigits[0] == '0';
    fourDigits[0] = '9';
    return fits && firstFree;
}

bool FormatRegisterRangeFields(std::int32_t area, std::int32_t first, std::int32_t last, char* tenChars) {
    tenChars[0] = RegisterAreaChar(area);
    tenChars[5] = tenChars[0];
    const bool firstFits = FormatRegisterAddress(area, first, tenChars + 1);
    return FormatRegisterAddress(area, last, tenChars + 6) && firstFits;
}

bool FormatRelayField(std::int32_t area, std::int32_t relay, char* fiveChars) {
    if (area == kAreaRT) {
        fiveChars[0] = 'T';
        return OctalDigits(relay, 4, fiveChars + 1);
    }
    return OctalDigits(relay, 5, fiveChars);
}

void FormatStation(std::int32_t station, char* twoDigits) {
    twoDigits[0] = static_cast<char>('0' + ((station >> 3) & 7));
    twoDigits[1] = static_cast<char>('0' + (station & 7));
}

}  // namespace kel
