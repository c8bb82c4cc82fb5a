// The gate model kelhost and the Python module share (tools/common/
// gate_model.h): the ":TYPE" names, the kind of an address without one, the
// gate and value types, where the driver's check and a kind disagree, what a
// write may carry and the raw value it sends; and the link timeout's unit.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "commands/gate_checks.h"
#include "kelwnsrp.h"
#include "tools/common/gate_model.h"
#include "tools/common/link_timeout.h"

namespace kel::tools {
namespace {

GateAddress Address(std::int32_t area, std::int32_t widthBits) {
    GateAddress address {};
    address.station = 1;
    address.areaKind = area;
    address.widthBits = widthBits;
    address.marker = 255;
    return address;
}

TEST(GateModel, TypeNamesAndTheKindOfAnAddressWithoutOne) {
    const struct {
        const char* name;
        bool known;
        GateKind kind;
    } names[] = {
        {"relay", true, GateKind::kRelay}, {"8", true, GateKind::kBits8},   {"16", true, GateKind::kBits16},
        {"32", true, GateKind::kBits32},   {"float", true, GateKind::kFloat}, {"auto", false, GateKind::kRelay},
        {"Float", false, GateKind::kRelay}, {"", false, GateKind::kRelay},  {"64", false, GateKind::kRelay},
    };
    for (const auto& c : names) {
        SCOPED_TRACE(c.name);
        GateKind kind = GateKind::kRelay;
        EXPECT_EQ(ParseGateKind(c.name, &kind), c.known);
        EXPECT_EQ(kind, c.kind);
        if (c.known) {
            EXPECT_STREQ(GateKindName(kind), c.name);
        }
    }
    EXPECT_EQ(UnknownGateKind("01MA0100:abc"), "01MA0100:abc: the type after ':' is relay, 8, 16, 32 or float");

    const struct {
        const char* gas;
        GateKind kind;
    } addresses[] = {
        {"01R00001", GateKind::kRelay},   {"01r00001", GateKind::kRelay},  {"01RT0017", GateKind::kRelay},
        {"01MA0100", GateKind::kBits16},  {"01MA0100B", GateKind::kBits8}, {"01ma0100b", GateKind::kBits8},
        {"01M09000B", GateKind::kBits8},  {"01T0005", GateKind::kBits16},  {"01MA0100X", GateKind::kBits16},
        {"", GateKind::kBits16},
    };
    for (const auto& c : addresses) EXPECT_EQ(KindOfAddress(c.gas), c.kind) << c.gas;
}

TEST(GateModel, WhereTheDriversCheckAndTheKindDisagree) {
    const struct {
        GateKind kind;
        const char* gas;
        GateAddress address;
        std::string mismatch;
    } cases[] = {
        {GateKind::kBits16, "01MA0100", Address(AreaMA, 16), ""},
        {GateKind::kBits8, "01MA0100B", Address(AreaMA, 8), ""},
        {GateKind::kFloat, "01M09000", Address(AreaM09, 32), ""},
        {GateKind::kRelay, "01R00001", Address(AreaR, 0), ""},
        {GateKind::kBits16, "01T0005", Address(AreaT, 16), ""},
        {GateKind::kBits8, "01MA0100", Address(AreaMA, 16),
         "01MA0100: an 8-bit gate is written with a B at the end (e.g. 01MA0100B)"},
        {GateKind::kBits16, "01MA0100B", Address(AreaMA, 8), "01MA0100B: the B at the end makes it an 8-bit gate, not 16"},
        {GateKind::kFloat, "01MB0010B", Address(AreaMB, 8), "01MB0010B: the B at the end makes it an 8-bit gate, not float"},
        {GateKind::kBits8, "01T0005", Address(AreaT, 16), "01T0005: timer and counter values are 16-bit"},
        {GateKind::kBits32, "01T0005", Address(AreaT, 32), "01T0005: timer and counter values are 16-bit"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(KindMismatch(c.kind, c.gas, c.address), c.mismatch) << c.gas << " " << GateKindName(c.kind);
    }
}

TEST(GateModel, TheDriversRefusalInItsOwnWords) {
    GateAddress address {};
    GateRefusal why;
    ASSERT_NE(CheckGateAddress("01MA1600", KEL_VALUE_ANALOG16, &address, &why), KEL_OK);
    EXPECT_EQ(RefusalText("01MA1600", why), "KELSRP: Gate address 01MA1600 not valid");
    GateRefusal placed;
    ASSERT_NE(CheckGateAddress("01MA01X0", KEL_VALUE_ANALOG16, &address, &placed), KEL_OK);
    EXPECT_EQ(RefusalText("01MA01X0", placed), "KELSRP: GAS 01MA01X0 has a character out of place");
}

TEST(GateModel, WriteRangesTheirWordsAndTheRawValueSent) {
    const struct {
        GateKind kind;
        GateAddress address;
        std::int64_t min, max;
        const char* what;
    } ranges[] = {
        {GateKind::kRelay, Address(AreaR, 0), 0, 1, "a relay takes 0 or 1"},
        {GateKind::kRelay, Address(AreaRT, 0), 0, 1, "a relay takes 0 or 1"},
        {GateKind::kBits16, Address(AreaT, 16), 0, 1,
         "a timer or counter gate takes 0 or 1 (its contact; the current value cannot be written)"},
        {GateKind::kBits8, Address(AreaMB, 8), -128, 255,
         "an 8-bit register takes 0 to 255, or -128 to -1 as two's complement"},
        {GateKind::kBits16, Address(AreaMA, 16), -32768, 65535,
         "a 16-bit register takes 0 to 65535, or -32768 to -1 as two's complement"},
        {GateKind::kBits32, Address(AreaM39, 32), INT64_C(-2147483648), INT64_C(4294967295),
         "a 32-bit register takes 0 to 4294967295, or -2147483648 to -1 as two's complement"},
        {GateKind::kFloat, Address(AreaM09, 32), INT64_C(-2147483648), INT64_C(4294967295),
         "a float gate takes whole numbers only: 0 to 4294967295, or -2147483648 to -1 as two's complement"},
    };
    for (const auto& c : ranges) {
        const WriteRange range = WriteRangeOf(c.kind, c.address);
        EXPECT_EQ(range.min, c.min) << c.what;
        EXPECT_EQ(range.max, c.max) << c.what;
        EXPECT_EQ(range.what, c.what);
    }

    const WriteRange byte = WriteRangeOf(GateKind::kBits8, Address(AreaMB, 8));
    const WriteRange word = WriteRangeOf(GateKind::kBits16, Address(AreaMA, 16));
    const WriteRange dword = WriteRangeOf(GateKind::kBits32, Address(AreaMA, 32));
    const WriteRange relay = WriteRangeOf(GateKind::kRelay, Address(AreaR, 0));
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double infinity = std::numeric_limits<double>::infinity();
    const struct {
        const WriteRange& range;
        double number;
        bool taken;
        std::uint32_t raw;
    } writes[] = {
        {byte, 255, true, 0xFF},          {byte, -1, true, 0xFF},         {byte, -128, true, 0x80},
        {byte, 256, false, 0},            {byte, -129, false, 0},         {word, -2, true, 0xFFFE},
        {word, 65535, true, 0xFFFF},      {word, 65536, false, 0},        {word, -32769, false, 0},
        {word, 1.5, false, 0},            {word, nan, false, 0},          {word, infinity, false, 0},
        {dword, -1, true, 0xFFFFFFFFu},   {dword, 4294967295.0, true, 0xFFFFFFFFu},
        {dword, -2147483648.0, true, 0x80000000u}, {dword, 4294967296.0, false, 0},
        {relay, 1, true, 1},              {relay, -1, false, 0},          {relay, 2, false, 0},
    };
    for (const auto& c : writes) {
        std::uint32_t raw = 0;
        EXPECT_EQ(RawForWrite(c.number, c.range, &raw), c.taken) << c.range.what << " " << c.number;
        EXPECT_EQ(raw, c.raw) << c.range.what << " " << c.number;
    }

    EXPECT_EQ(TwosComplement(-1, 8), 0xFFu);
    EXPECT_EQ(TwosComplement(-32768, 16), 0x8000u);
    EXPECT_EQ(TwosComplement(-2, 32), 0xFFFFFFFEu);
    EXPECT_EQ(TwosComplement(1234, 16), 1234u);
}

TEST(LinkTimeout, MillisecondsRoundUpToTheDriversTenMillisecondUnits) {
    const struct {
        std::uint32_t ms, units;
    } cases[] = {{0, 0}, {1, 1}, {9, 1}, {10, 1}, {11, 2}, {50, 5}, {1000, 100}, {60000, 6000},
                 {4294967295u, 429496730u}};
    for (const auto& c : cases) EXPECT_EQ(LinkTimeoutUnits(c.ms), c.units) << c.ms;
}

}  // namespace
}  // namespace kel::tools
