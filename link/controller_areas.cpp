#include "link/controller_areas.h"

#include <cstring>

#include "link/text_codec.h"

namespace kel {

std::int32_t AreaItemCount(std::int32_t areaKind) {
    switch (areaKind) {
        case AreaR: return 7168;   // 00000 to 15777
        case AreaRT: return 256;   // 0000 to 0377
        case AreaT: return 256;
        case AreaMA: return 896;   // 0000 to 1577
        case AreaMB:
        case AreaM09:
        case AreaM19:
        case AreaM29:
        case AreaM39: return 512;  // 0000 to 0777
        default: return 0;
    }
}

bool IsRelayArea(std::int32_t areaKind) { return areaKind == AreaR || areaKind == AreaRT; }

bool IsRegisterArea(std::int32_t areaKind) { return areaKind >= AreaMA && areaKind <= AreaM39; }

char RegisterAreaChar(std::int32_t areaKind) {
    switch (areaKind) {
        case AreaMA: return 'A';
        case AreaMB: return 'B';
        case AreaM09: return '0';
        case AreaM19: return '1';
        case AreaM29: return '2';
        default: return '3';
    }
}

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

bool FormatRegisterAddress(std::int32_t areaKind, std::int32_t byteAddress, char* fourDigits) {
    const bool fits = OctalDigits(byteAddress, 4, fourDigits);
    if (areaKind < AreaM09 || areaKind > AreaM39) return fits;
    // The "9" takes the place of the first digit, which must be 0.
    const bool firstFree = fourDigits[0] == '0';
    fourDigits[0] = '9';
    return fits && firstFree;
}

bool FormatRelayField(std::int32_t areaKind, std::int32_t relay, char* fiveChars) {
    if (areaKind == AreaRT) {
        fiveChars[0] = 'T';
        return OctalDigits(relay, 4, fiveChars + 1);
    }
    return OctalDigits(relay, 5, fiveChars);
}

void FormatStation(std::int32_t station, char* twoDigits) {
    twoDigits[0] = static_cast<char>('0' + ((station >> 3) & 7));
    twoDigits[1] = static_cast<char>('0' + (station & 7));
}

void FormatRequestHead(std::int32_t station, const char* mnemonic, char* sevenBytes) {
    FormatStation(station, sevenBytes);
    sevenBytes[2] = '?';
    sevenBytes[3] = '0';
    std::memcpy(sevenBytes + 4, mnemonic, 3);
}

}  // namespace kel
