#include "protocol/text_codec.h"

namespace kel {
namespace {

int HexDigit(char c) {
    const int code = static_cast<unsigned char>(c);
    return c >= '0' && c <= '9' ? code - '0' : code - 55;
}

}  // namespace

char UpcaseChar(char c) {
    const auto code = static_cast<std::int8_t>(c);
    return code >= 97 ? static_cast<char>(code - 32) : c;
}

std::uint16_t HexByte(const char* pair) {
    return static_cast<std::uint16_t>(16 * HexDigit(pair[0]) + HexDigit(pair[1]));
}

std::uint32_t HexValue(const char* text, int size) {
    switch (size) {
        case 1:
            return HexByte(text);
        case 2:
            return (std::uint32_t {HexByte(text + 2)} << 8) + HexByte(text);
        case 4:
            return (std::uint32_t {HexByte(text + 6)} << 24) + (std::uint32_t {HexByte(text + 4)} << 16) +
                   (std::uint32_t {HexByte(text + 2)} << 8) + HexByte(text);
        default:
            return 0;
    }
}

void FormatOctalAddress(std::int32_t value, char* destination) {
    constexpr std::uint32_t kSevenDigits = (1u << 21) - 1;
    std::uint32_t rest = static_cast<std::uint32_t>(value) & kSevenDigits;
    char digits[kOctalAddressSize - 1];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + (rest & 7u));
        rest >>= 3;
    } while (rest != 0);
    int at = 0;
    for (int pad = count; pad < 4; ++pad) destination[at++] = '0';
    while (count > 0) destination[at++] = digits[--count];
    destination[at] = '\0';
}

}  // namespace kel
