// The protocol's text routines: upper-casing, hexadecimal pairs read least
// significant byte first, and zero-padded octal addresses.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/text_codec.h"

namespace kel {
namespace {

TEST(TextCodecUpcase, MovesCodes97To127DownBy32AndLeavesEveryOtherByte) {
    struct Case {
        int in;
        int out;
    };
    for (const Case& c : {Case {'a', 'A'}, Case {'z', 'Z'}, Case {'{', '['}, Case {127, 95},
                          Case {'`', '`'}, Case {'A', 'A'}, Case {'0', '0'}, Case {0xE4, 0xE4},
                          Case {0, 0}}) {
        EXPECT_EQ(static_cast<unsigned char>(UpcaseChar(static_cast<char>(c.in))), c.out) << c.in;
    }
    // Bytes above 127 are negative as signed characters and never move.
    for (int code = 0x80; code <= 0xFF; ++code) {
        EXPECT_EQ(static_cast<unsigned char>(UpcaseChar(static_cast<char>(code))), code) << code;
    }
}

TEST(TextCodecHex, PairsAndLittleEndianValues) {
    struct PairCase {
        const char* text;
        std::uint16_t value;
    };
    // Lower case is not hexadecimal here: "a" counts its code minus 55.
    for (const PairCase& c : {PairCase {"0a", 42}, PairCase {"FF", 255}, PairCase {"00", 0},
                              PairCase {"9A", 154}, PairCase {"A9", 169}}) {
        EXPECT_EQ(HexByte(c.text), c.value) << c.text;
    }

    struct ValueCase {
        const char* text;
        int size;
        std::uint32_t value;
    };
    for (const ValueCase& c :
         {ValueCase {"3412", 2, 0x1234}, ValueCase {"78563412", 4, 0x12345678},
          ValueCase {"FF", 1, 255}, ValueCase {"FFFFFFFF", 4, 0xFFFFFFFF},
          ValueCase {"785634", 3, 0}, ValueCase {"78", 0, 0}, ValueCase {"78563412", -1, 0}}) {
        EXPECT_EQ(HexValue(c.text, c.size), c.value) << c.text << " size " << c.size;
    }
}

TEST(TextCodecOctal, PadsToFourDigitsAndNeverWritesMoreThanEightBytes) {
    struct Case {
        std::int32_t value;
        const char* text;
    };
    for (const Case& c : {Case {0, "0000"}, Case {5, "0005"}, Case {64, "0100"}, Case {511, "0777"},
                          Case {512, "1000"}, Case {4095, "7777"}, Case {4096, "10000"},
                          Case {2097151, "7777777"},
                          // Outside 0 to 2097151 only the low seven octal digits count.
                          Case {2097152, "0000"}, Case {2097152 + 8, "0010"}, Case {-1, "7777777"},
                          Case {INT32_MIN, "0000"}, Case {INT32_MAX, "7777777"}}) {
        char buffer[16];
        std::memset(buffer, 0x5A, sizeof buffer);
        FormatOctalAddress(c.value, buffer);
        ASSERT_NE(std::memchr(buffer, '\0', kOctalAddressSize), nullptr) << c.value;
        EXPECT_STREQ(buffer, c.text) << c.value;
        for (std::size_t i = std::strlen(buffer) + 1; i < sizeof buffer; ++i) {
            EXPECT_EQ(buffer[i], 0x5A) << c.value << " byte " << i;
        }
    }
}

}  // namespace
}  // namespace kel
