// Commands 3 and 4 through KelMain: the GAS grammar, the gate type, the area
// rules and block counts, and GAS strings of any length and content.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <string_view>

#include "kelwnsrp.h"
#include "teskar.h"

namespace {

constexpr std::int32_t kC3 = KEL_CMD_CHECK_GATE;
constexpr std::int32_t kC4 = KEL_CMD_CHECK_BLOCK;
constexpr std::int32_t U = 0x5A5A5A5A;  // a GateAddress field the check left alone
constexpr GateAddress kUntouched {U, U, U, U, U};

constexpr const char* kNotCorrect = "KELSRP: GAS %s isn't correct";
constexpr const char* kLength = "KELSRP: GAS %s length isn't correct";
constexpr const char* kDigital = "KELSRP: Gate address %s should be digital!";
constexpr const char* kAnalog = "KELSRP: Gate address %s should be analog!";
constexpr const char* kNotValid = "KELSRP: Gate address %s not valid";

std::string Shown(const char* format, const std::string& gas) {
    std::string text = format;
    return text.replace(text.find("%s"), 2, gas);
}

std::string Printable(std::string_view gas) {
    std::string out;
    for (const unsigned char c : gas) {
        if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

struct Checked {
    std::int32_t result;
    GateAddress address;
};

// One command on a block whose every byte starts as 0x5A; asserts that the
// check leaves the host's other fields, its GAS text and the DriverState alone.
Checked CheckGas(std::int32_t command, const char* gas, std::uint32_t gateType, std::uint16_t count = 0) {
    GateCheckRequest block;
    std::memset(&block, 0x5A, sizeof block);
    block.gas = gas;
    block.gateType = gateType;
    block.count = count;
    const GateCheckRequest before = block;
    const std::string text = gas != nullptr ? gas : "";
    DriverState state;
    std::memset(&state, 0xA5, sizeof state);
    const DriverState stateBefore = state;
    KelRequest request {&state, command, 0, 0, &block};
    teskar_clear();
    const std::int32_t result = KelMain(&request);
    EXPECT_EQ(block.gas, before.gas);
    EXPECT_EQ(block.hostReserved, before.hostReserved);
    EXPECT_EQ(block.gateType, before.gateType);
    EXPECT_EQ(block.count, before.count);
    EXPECT_EQ(block.unused, before.unused);
    EXPECT_EQ(std::memcmp(&state, &stateBefore, sizeof state), 0);
    if (gas != nullptr) {
        EXPECT_EQ(text, gas);
    }
    return {result, block.address};
}

void ExpectAddress(const GateAddress& actual, const GateAddress& expected) {
    EXPECT_EQ(actual.station, expected.station);
    EXPECT_EQ(actual.areaKind, expected.areaKind);
    EXPECT_EQ(actual.address, expected.address);
    EXPECT_EQ(actual.marker, expected.marker);
    EXPECT_EQ(actual.widthBits, expected.widthBits);
}

// The only message of the call, or none when format is null.
void ExpectMessage(const char* format, const std::string& gas) {
    if (format == nullptr) {
        EXPECT_EQ(teskar_count(), 0) << teskar_text(0);
        return;
    }
    ASSERT_EQ(teskar_count(), 1);
    EXPECT_EQ(teskar_level(0), KEL_LOG_LEVEL_INFO);
    EXPECT_STREQ(teskar_format(0), format);
    EXPECT_EQ(teskar_text(0), Shown(format, gas));
}

struct Row {
    std::int32_t command;
    const char* gas;
    std::uint32_t gateType;
    std::uint16_t count, countLast;  // command 4 runs once for each count of the range
    std::int32_t result;
    const char* format;  // null: no message
    const char* shown;   // the GAS as the message shows it
    GateAddress address;
};

const Row kRows[] = {
    // Relays.
    {kC3, "00R00000", 6, 0, 0, 0, nullptr, "", {0, AreaR, 0, 255, 0}},
    {kC3, "77R15777", 6, 0, 0, 0, nullptr, "", {63, AreaR, 7167, 255, 0}},
    {kC3, "77R16000", 6, 0, 0, 1, kNotValid, "77R16000", {63, AreaR, 7168, 255, 0}},
    {kC3, "00rt0377", 6, 0, 0, 0, nullptr, "", {0, AreaRT, 255, 255, 0}},
    {kC3, "00RT0400", 6, 0, 0, 1, kNotValid, "00RT0400", {0, AreaRT, 256, 255, 0}},
    {kC3, "00rt0400", 6, 0, 0, 1, kNotValid, "00RT0400", {0, AreaRT, 256, 255, 0}},
    {kC3, "00R20000", 6, 0, 0, 1, nullptr, "", {0, AreaR, U, 255, 0}},
    {kC3, "00R00000", 0, 0, 0, 1, kDigital, "00R00000", {0, AreaR, U, 255, 0}},
    {kC3, "00r00000", 5, 0, 0, 1, kDigital, "00R00000", {0, AreaR, U, 255, 0}},
    {kC3, "00R00000", 3, 0, 0, 1, kDigital, "00R00000", {0, AreaR, U, 255, 0}},
    {kC4, "00R00000", 0, 1, 1, 1, nullptr, "", {0, AreaR, 0, 255, 16}},
    {kC4, "00RT0000", 6, 0, 0, 1, nullptr, "", {0, AreaRT, 0, 255, 0}},
    {kC4, "77R16000", 6, 1, 1, 1, kNotValid, "77R16000", {63, AreaR, 7168, 255, 0}},
    // Timers and counters.
    {kC3, "00T0377", 1, 0, 0, 0, nullptr, "", {0, AreaT, 255, 255, 16}},
    {kC3, "00t0377", 0, 0, 0, 0, nullptr, "", {0, AreaT, 255, 255, 16}},
    {kC3, "00T0377", 4, 0, 0, 1, kAnalog, "00T0377", {0, AreaR, U, 255, 0}},
    {kC3, "00t0377", 4, 0, 0, 1, kAnalog, "00T0377", {0, AreaR, U, 255, 0}},
    {kC3, "00T0000", 3, 0, 0, 1, kAnalog, "00T0000", {0, AreaR, U, 255, 0}},
    {kC3, "00T0000", 0xFFFFFFFF, 0, 0, 1, kAnalog, "00T0000", {0, AreaR, U, 255, 0}},
    {kC3, "00T0400", 1, 0, 0, 1, nullptr, "", {0, AreaR, U, 255, 0}},
    {kC4, "00T0000", 1, 0, 256, 0, nullptr, "", {0, AreaT, 0, 255, 16}},
    {kC4, "00T0000", 1, 257, 300, 1, nullptr, "", {0, AreaT, 0, 255, 16}},
    {kC4, "00T0000", 1, 65535, 65535, 1, nullptr, "", {0, AreaT, 0, 255, 16}},
    {kC4, "00T0000", 3, 1, 1, 0, nullptr, "", {0, AreaT, 0, 255, 0}},
    {kC4, "00T0400", 1, 1, 1, 1, nullptr, "", {0, AreaR, U, 255, 0}},
    // Registers.
    {kC3, "01MA1577", 4, 0, 0, 0, nullptr, "", {1, AreaMA, 895, 255, 32}},
    {kC3, "01MA1600", 4, 0, 0, 1, kNotValid, "01MA1600", {1, AreaMA, 896, 255, 0}},
    {kC3, "01ma1600", 4, 0, 0, 1, kNotValid, "01MA1600", {1, AreaMA, 896, 255, 0}},
    {kC3, "01MA9000", 4, 0, 0, 1, kNotValid, "01MA9000", {1, AreaMA, U, 255, 0}},
    {kC3, "00MB0777", 0, 0, 0, 0, nullptr, "", {0, AreaMB, 511, 255, 16}},
    {kC3, "00MB1000", 0, 0, 0, 1, kNotValid, "00MB1000", {0, AreaMB, 512, 255, 0}},
    {kC3, "00MB9000", 0, 0, 0, 1, kNotValid, "00MB9000", {0, AreaMB, U, 255, 0}},
    {kC3, "00M39777", 0, 0, 0, 0, nullptr, "", {0, AreaM39, 511, 255, 16}},
    {kC3, "00M31777", 0, 0, 0, 1, kNotValid, "00M31777", {0, AreaM39, U, 255, 0}},
    {kC3, "00M19777", 5, 0, 0, 0, nullptr, "", {0, AreaM19, 511, 255, 32}},
    {kC3, "37m29123", 1, 0, 0, 0, nullptr, "", {31, AreaM29, 0123, 255, 16}},
    {kC3, "00M09000B", 4, 0, 0, 0, nullptr, "", {0, AreaM09, 0, 255, 8}},
    {kC3, "00m09000b", 4, 0, 0, 0, nullptr, "", {0, AreaM09, 0, 255, 8}},
    {kC3, "00M09000X", 4, 0, 0, 0, nullptr, "", {0, AreaM09, 0, 255, 32}},
    {kC3, "00M09000\xFF", 0, 0, 0, 0, nullptr, "", {0, AreaM09, 0, 255, 16}},
    {kC3, "00ma9000b", 4, 0, 0, 1, kNotValid, "00MA9000B", {0, AreaMA, U, 255, 8}},
    {kC3, "00M09000B", 6, 0, 0, 1, kAnalog, "00M09000B", {0, AreaR, U, 255, 0}},
    {kC3, "00M09000", 3, 0, 0, 1, kAnalog, "00M09000", {0, AreaR, U, 255, 0}},
    {kC3, "00MA0000", 2, 0, 0, 1, kAnalog, "00MA0000", {0, AreaR, U, 255, 0}},
    {kC4, "00M09000", 0, 0, 512, 0, nullptr, "", {0, AreaM09, 0, 255, 16}},
    {kC4, "00M09000", 0, 513, 513, 1, nullptr, "", {0, AreaM09, 0, 255, 16}},
    {kC4, "00M09000", 6, 1, 1, 0, nullptr, "", {0, AreaM09, 0, 255, 0}},
    {kC4, "00M09000", 4, 1, 1, 0, nullptr, "", {0, AreaM09, 0, 255, 32}},
    {kC4, "00M09000b", 3, 1, 1, 0, nullptr, "", {0, AreaM09, 0, 255, 8}},
    {kC4, "00MA1577", 4, 512, 512, 0, nullptr, "", {0, AreaMA, 895, 255, 32}},
    {kC4, "00MA1577", 4, 513, 513, 1, nullptr, "", {0, AreaMA, 895, 255, 32}},
    {kC4, "00MB0000", 0, 512, 512, 0, nullptr, "", {0, AreaMB, 0, 255, 16}},
    {kC4, "00MB0000", 0, 513, 513, 1, nullptr, "", {0, AreaMB, 0, 255, 16}},
    {kC4, "00M19000", 0, 512, 512, 0, nullptr, "", {0, AreaM19, 0, 255, 16}},
    {kC4, "00M29000", 0, 512, 512, 0, nullptr, "", {0, AreaM29, 0, 255, 16}},
    {kC4, "00M39000", 0, 513, 513, 1, nullptr, "", {0, AreaM39, 0, 255, 16}},
    {kC4, "00M31777", 0, 1, 1, 1, kNotValid, "00M31777", {0, AreaM39, U, 255, 0}},
    // Letter and length, shown as the host passed them.
    {kC3, "00X00000", 6, 0, 0, 1, kNotCorrect, "00X00000", kUntouched},
    {kC3, "00x0000a", 6, 0, 0, 1, kNotCorrect, "00x0000a", kUntouched},
    {kC3, "00R0000", 6, 0, 0, 1, kLength, "00R0000", kUntouched},
    {kC3, "00r0000", 6, 0, 0, 1, kLength, "00r0000", kUntouched},
    {kC3, "00t00000", 1, 0, 0, 1, kLength, "00t00000", kUntouched},
    {kC3, "00M0900", 0, 0, 0, 1, kLength, "00M0900", kUntouched},
    {kC3, "00M09000B0", 0, 0, 0, 1, kLength, "00M09000B0", kUntouched},
    {kC3, "00R000000000000", 6, 0, 0, 1, kLength, "00R000000000000", kUntouched},
    {kC3, "0", 6, 0, 0, 1, kNotCorrect, "0", kUntouched},
    {kC3, "00", 6, 0, 0, 1, kNotCorrect, "00", kUntouched},
    {kC3, "", 6, 0, 0, 1, kNotCorrect, "", kUntouched},
    {kC4, "00X00000", 0, 1, 1, 1, kNotCorrect, "00X00000", kUntouched},
    {kC4, "00T000", 0, 1, 1, 1, kLength, "00T000", kUntouched},
    // A missing GAS is refused as the empty one.
    {kC3, nullptr, 6, 0, 0, 1, kNotCorrect, "", kUntouched},
    {kC4, nullptr, 0, 1, 1, 1, kNotCorrect, "", kUntouched},
    // The station is read up to the first character that is not octal.
    {kC3, "18R00000", 6, 0, 0, 1, nullptr, "", {1, AreaR, U, 255, 0}},
    {kC3, "81R00000", 6, 0, 0, 1, nullptr, "", {0, AreaR, U, 255, 0}},
    {kC3, "7\xFFR00000", 6, 0, 0, 1, nullptr, "", {7, AreaR, U, 255, 0}},
    {kC3, "\x1B" "7R00000", 6, 0, 0, 1, nullptr, "", {0, AreaR, U, 255, 0}},
    {kC3, "00R0\t000", 6, 0, 0, 1, nullptr, "", {0, AreaR, U, 255, 0}},
};

TEST(GateAddressCheck, EveryRowGivesItsResultMessageAndAddress) {
    for (const Row& row : kRows) {
        const int last = row.command == kC4 ? row.countLast : row.count;
        for (int count = row.count; count <= last; ++count) {
            SCOPED_TRACE(::testing::Message() << "command " << row.command << " GAS "
                                              << (row.gas ? Printable(row.gas) : "(null)") << " type "
                                              << row.gateType << " count " << count);
            const Checked checked = CheckGas(row.command, row.gas, row.gateType, static_cast<std::uint16_t>(count));
            EXPECT_EQ(checked.result, row.result);
            ExpectMessage(row.format, row.shown);
            ExpectAddress(checked.address, row.address);
        }
    }
}

// Block mode lasts one command 4; the working copy holds only the last GAS.
TEST(GateAddressCheck, NothingCarriesOverFromOneCheckToTheNext) {
    EXPECT_EQ(CheckGas(kC4, "00R20000", 0, 1).result, 1);
    EXPECT_EQ(CheckGas(kC3, "00R00000", 0).result, 1);
    ExpectMessage(kDigital, "00R00000");
    EXPECT_EQ(CheckGas(kC4, "00T0000", 3, 1).result, 0);
    EXPECT_EQ(CheckGas(kC3, "00T0000", 3).result, 1);
    ExpectMessage(kAnalog, "00T0000");
    EXPECT_EQ(CheckGas(kC3, "00M09000B", 4).address.widthBits, 8);
    EXPECT_EQ(CheckGas(kC3, "00M09000", 4).address.widthBits, 32);
}

// ---- the grammar, byte by byte ---------------------------------------------

// The check's upper case: codes 97 to 127 lose 32.
char Upper(char c) {
    const int code = static_cast<unsigned char>(c);
    return code >= 97 && code <= 127 ? static_cast<char>(code - 32) : c;
}

std::string Upper(const std::string& gas) {
    std::string out;
    for (const char c : gas) out += Upper(c);
    return out;
}

// What each of positions 1 to 8 admits after the area letter R, M or T.
struct Grammar {
    char letter;
    std::string_view positions[8];
};
const Grammar kGrammar[] = {
    {'R', {"01234567", "01234567", "R", "01T", "01234567", "01234567", "01234567", "01234567"}},
    {'M', {"01234567", "01234567", "M", "0123AB", "019", "01234567", "01234567", "01234567"}},
    {'T', {"01234567", "01234567", "T", "0", "0123", "01234567", "01234567", ""}},
};

bool InClass(char letter, int position, char c) {
    for (const Grammar& g : kGrammar) {
        if (g.letter == letter) return g.positions[position - 1].find(Upper(c)) != std::string_view::npos;
    }
    return false;
}

// A valid GAS, and for each position the characters of its class that the
// area rules refuse in this GAS.
struct SweepBase {
    const char* gas;
    std::uint32_t gateType;
    std::string_view areaRefuses[8];
};
const SweepBase kSweepBases[] = {
    {"00R00000", 6, {}},
    {"00T0000", 0, {}},
    {"00M09000", 0, {"", "", "", "AB", "01", "", "", ""}},
    {"00MA0000", 4, {"", "", "", "0123", "9", "", "", ""}},
};

TEST(GateAddressGrammar, EveryByteAtEveryPositionIsAcceptedExactlyWhenInItsClass) {
    int accepted = 0;
    for (const SweepBase& base : kSweepBases) {
        const char letter = base.gas[2];
        const std::size_t length = std::strlen(base.gas);
        for (int position = 1; position <= 8; ++position) {
            for (int code = 1; code <= 255; ++code) {
                const char c = static_cast<char>(code);
                std::string gas = base.gas;
                if (static_cast<std::size_t>(position) > length) {
                    gas += c;
                } else {
                    gas[position - 1] = c;
                }
                const Checked checked = CheckGas(kC3, gas.c_str(), base.gateType);
                const std::string trace = Printable(gas) + " position " + std::to_string(position);
                if (position == 3 && Upper(c) != letter) {
                    // Another area letter is a different GAS; anything else fails the letter test.
                    EXPECT_EQ(checked.result, 1) << trace;
                    if (std::string_view("MmRrTt").find(c) == std::string_view::npos) {
                        ExpectMessage(kNotCorrect, gas);
                    }
                } else if (static_cast<std::size_t>(position) > length) {
                    EXPECT_EQ(checked.result, 1) << trace;
                    ExpectMessage(kLength, gas);
                    ExpectAddress(checked.address, kUntouched);
                } else if (!InClass(letter, position, c)) {
                    EXPECT_EQ(checked.result, 1) << trace;
                    EXPECT_EQ(teskar_count(), 0) << trace << ": " << teskar_text(0);
                    EXPECT_EQ(checked.address.marker, 255) << trace;
                } else if (base.areaRefuses[position - 1].find(Upper(c)) != std::string_view::npos) {
                    EXPECT_EQ(checked.result, 1) << trace;
                    ExpectMessage(kNotValid, Upper(gas));
                } else {
                    ++accepted;
                    EXPECT_EQ(checked.result, 0) << trace;
                    EXPECT_EQ(teskar_count(), 0) << trace << ": " << teskar_text(0);
                    EXPECT_EQ(checked.address.station, (gas[0] - '0') * 8 + (gas[1] - '0')) << trace;
                    EXPECT_EQ(checked.address.marker, 255) << trace;
                }
            }
        }
    }
    // Every in-class character the area rules allow, lower case included:
    // R 8+8+2+4+32, T 8+8+2+1+4+16, M09 8+8+2+4+1+24, MA 8+8+2+4+2+24.
    EXPECT_EQ(accepted, 54 + 39 + 47 + 48);
}

TEST(GateAddressGrammar, NinthCharacterOfARegisterAddressIsFreeAndOnlyBSetsTheWidth) {
    for (int code = 1; code <= 255; ++code) {
        const std::string gas = std::string("00M09000") + static_cast<char>(code);
        SCOPED_TRACE(Printable(gas));
        const Checked checked = CheckGas(kC3, gas.c_str(), KEL_VALUE_ANALOG32);
        EXPECT_EQ(checked.result, 0);
        EXPECT_EQ(teskar_count(), 0);
        ExpectAddress(checked.address, {0, AreaM09, 0, 255, Upper(static_cast<char>(code)) == 'B' ? 8 : 32});
    }
}

// ---- strings of any length and content ---------------------------------------

bool LengthFits(char letter, std::size_t length) {
    switch (Upper(letter)) {
        case 'M':
            return length == 8 || length == 9;
        case 'R':
            return length == 8;
        default:
            return length == 7;
    }
}

// Random strings of every length from 0 to 64, and valid addresses with a few
// random edits so that many reach the later steps; every step the test can
// tell on its own is asserted.
TEST(GateAddressRobustness, RandomStringsGiveTheStepsResult) {
    std::mt19937 random(20240611);
    const std::string_view useful = "0123456789ABMRTXabmrtx ";
    const auto anyChar = [&] {
        return random() % 4 == 0 ? static_cast<char>(1 + random() % 255) : useful[random() % useful.size()];
    };
    const char* const valid[] = {"00R00000", "77R15777", "00rt0377", "00T0377",  "01MA1577",
                                 "00MB0777", "00M39777", "00M09000B", "00m09000x"};
    const std::uint32_t gateTypes[] = {0, 1, 2, 3, 4, 5, 6, 7};
    int reachedClasses = 0;
    int passedClasses = 0;
    for (std::size_t randomLength = 0; randomLength <= 64; ++randomLength) {
        for (int sample = 0; sample < 300; ++sample) {
            std::string gas;
            if (sample % 2 == 0) {
                for (std::size_t i = 0; i < randomLength; ++i) gas += anyChar();
            } else {
                gas = valid[random() % std::size(valid)];
                for (unsigned edits = random() % 3; edits > 0; --edits) {
                    const std::size_t at = random() % (gas.size() + 1);
                    const unsigned edit = random() % 3;
                    if (edit == 0 && at < gas.size()) gas[at] = anyChar();
                    if (edit == 1) gas.insert(at, 1, anyChar());
                    if (edit == 2 && at < gas.size()) gas.erase(at, 1);
                }
            }
            const std::size_t length = gas.size();
            const std::int32_t command = random() % 2 == 0 ? kC3 : kC4;
            const std::uint32_t gateType = gateTypes[random() % std::size(gateTypes)];
            const auto count = static_cast<std::uint16_t>(random() % 600);
            const std::string trace = Printable(gas);
            const Checked checked = CheckGas(command, gas.c_str(), gateType, count);
            ASSERT_TRUE(checked.result == 0 || checked.result == 1) << trace;
            if (length < 3 || std::string_view("MmRrTt").find(gas[2]) == std::string_view::npos) {
                ExpectMessage(kNotCorrect, gas);
                ExpectAddress(checked.address, kUntouched);
                continue;
            }
            if (!LengthFits(gas[2], length)) {
                ExpectMessage(kLength, gas);
                ExpectAddress(checked.address, kUntouched);
                continue;
            }
            ++reachedClasses;
            EXPECT_EQ(checked.address.marker, 255) << trace;
            bool fits = true;
            for (std::size_t i = 0; i < length && i < 8; ++i) fits = fits && InClass(Upper(gas[2]), static_cast<int>(i) + 1, gas[i]);
            if (!fits) {
                EXPECT_EQ(checked.result, 1) << trace;
                EXPECT_EQ(teskar_count(), 0) << trace;
                continue;
            }
            ++passedClasses;
            EXPECT_EQ(checked.address.station, (gas[0] - '0') * 8 + (gas[1] - '0')) << trace;
            ASSERT_LE(teskar_count(), 1) << trace;
            if (teskar_count() == 1) {
                EXPECT_EQ(checked.result, 1) << trace;
                EXPECT_EQ(teskar_level(0), KEL_LOG_LEVEL_INFO);
                const std::string format = teskar_format(0);
                EXPECT_TRUE(format == kDigital || format == kAnalog || format == kNotValid) << format;
                EXPECT_EQ(teskar_text(0), Shown(format.c_str(), Upper(gas))) << trace;
            }
        }
    }
    // The mix of characters must take a fair share past the letter and length tests.
    EXPECT_GT(reachedClasses, 3000);
    EXPECT_GT(passedClasses, 2000);
}

TEST(GateAddressRobustness, AMegabyteGasIsRefusedForItsLength) {
    for (const char* start : {"00R00000", "00M09000B", "00X"}) {
        std::string gas = start;
        gas.resize(std::size_t {1} << 20, '7');
        SCOPED_TRACE(start);
        const Checked checked = CheckGas(kC3, gas.c_str(), 6);
        EXPECT_EQ(checked.result, 1);
        ExpectAddress(checked.address, kUntouched);
        ASSERT_EQ(teskar_count(), 1);
        const char* format = start[2] == 'X' ? kNotCorrect : kLength;
        EXPECT_STREQ(teskar_format(0), format);
        // The host library keeps a bounded prefix of the text.
        const std::string text = teskar_text(0);
        EXPECT_GT(text.size(), 400u);
        EXPECT_EQ(text, Shown(format, gas).substr(0, text.size()));
    }
}

// Each prefix sits in a heap block of exactly its length and NUL, so that
// AddressSanitizer reports any read past the terminator.
TEST(GateAddressRobustness, GasIsNotReadPastItsTerminator) {
    struct Case {
        const char* text;
        std::uint32_t gateType;
        std::int32_t result3, result4;  // when the length fits the letter
    };
    for (const Case& c : {Case {"00M09000B7777", 4, 0, 0}, Case {"00R000000000", 6, 0, 1},
                          Case {"00t0000000000", 1, 0, 0},
                          Case {"\xFF\x01r\x80\x1F\xFE\x02\x90\xC3\xA9\x0D\x0A", 6, 1, 1}}) {
        for (std::size_t length = 0; length <= std::strlen(c.text); ++length) {
            for (const std::int32_t command : {kC3, kC4}) {
                const std::unique_ptr<char[]> gas(new char[length + 1]);
                std::memcpy(gas.get(), c.text, length);
                gas[length] = '\0';
                SCOPED_TRACE(Printable(gas.get()));
                const Checked checked = CheckGas(command, gas.get(), c.gateType, 1);
                const bool letter = length >= 3 && std::string_view("MmRrTt").find(gas[2]) != std::string_view::npos;
                if (!letter) {
                    EXPECT_EQ(checked.result, 1);
                    ExpectMessage(kNotCorrect, gas.get());
                } else if (!LengthFits(gas[2], length)) {
                    EXPECT_EQ(checked.result, 1);
                    ExpectMessage(kLength, gas.get());
                } else {
                    EXPECT_EQ(checked.result, command == kC3 ? c.result3 : c.result4);
                    ExpectMessage(nullptr, "");
                }
            }
        }
    }
}

}  // namespace
