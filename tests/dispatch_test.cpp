// KelMain's dispatch and the driver information command.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "kelwnsrp.h"
#include "teskar.h"

namespace {

int32_t Call(DriverState* state, int32_t command, void* block) {
    KelRequest request {state, command, 0, 0, block};
    return KelMain(&request);
}

TEST(Dispatch, CodesWithoutHandlerReturnNoSuchCommandAndTouchNothing) {
    for (int32_t code : {0, 8, 9, -1, 16, 17, 255, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(code);
        DriverState state;
        std::memset(&state, 0xA5, sizeof state);
        DriverState before = state;
        teskar_clear();
        // A block pointer that must never be followed.
        EXPECT_EQ(Call(&state, code, reinterpret_cast<void*>(0x10)), KEL_NO_SUCH_COMMAND);
        EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
        EXPECT_EQ(teskar_count(), 0);
    }
}

TEST(Dispatch, NullRequestIsRefused) { EXPECT_EQ(KelMain(nullptr), KEL_NO_SUCH_COMMAND); }

TEST(Dispatch, NullStateOrBlockIsRefusedByEveryCommandThatUsesThem) {
    // Which commands read the state and which a block; a null one must be
    // refused before anything happens, with nothing logged.
    struct Uses {
        int32_t code;
        bool state;
        bool block;
    };
    const Uses commands[] = {{1, true, true},   {2, true, false},  {3, false, true},  {4, false, true},
                             {5, true, true},   {6, true, true},   {7, true, true},   {10, true, true},
                             {11, true, false}, {12, true, false}, {13, true, false}, {14, false, true},
                             {15, true, true}};
    for (const Uses& c : commands) {
        SCOPED_TRACE(c.code);
        // Big enough for any block; zeroes make a closed port and no names.
        alignas(8) unsigned char block[64] = {};
        DriverState state;
        std::memset(&state, 0, sizeof state);
        teskar_clear();
        if (c.state) {
            EXPECT_EQ(Call(nullptr, c.code, block), KEL_NO_SUCH_COMMAND);
        }
        if (c.block) {
            EXPECT_EQ(Call(&state, c.code, nullptr), KEL_NO_SUCH_COMMAND);
        }
        EXPECT_EQ(Call(nullptr, c.code, nullptr), KEL_NO_SUCH_COMMAND);
        EXPECT_EQ(state.portOpen, 0u);
        EXPECT_EQ(teskar_count(), 0);
    }
}

TEST(Dispatch, HostBytesOfTheRequestAreLeftAlone) {
    DriverState state {};
    DriverInfo info {};
    KelRequest request {&state, KEL_CMD_DRIVER_INFO, 0xDEADBEEF, 0xCAFEF00D, &info};
    EXPECT_EQ(KelMain(&request), KEL_OK);
    EXPECT_EQ(request.hostReserved0, 0xDEADBEEFu);
    EXPECT_EQ(request.hostReserved1, 0xCAFEF00Du);
    EXPECT_EQ(request.command, KEL_CMD_DRIVER_INFO);
}

TEST(Dispatch, ReadsAndWritesOnAClosedPortAreLineFailures) {
    // Checked gates, but the instance never opened its port.
    for (int32_t code : {KEL_CMD_READ_GATE_ALT, KEL_CMD_READ_GATE, KEL_CMD_WRITE_GATE}) {
        SCOPED_TRACE(code);
        DriverState state {};
        std::uint32_t cell = 0x11223344;
        GateRequest gate {"01MA0100", 0, {1, AreaMA, 0100, 255, 16}, KEL_VALUE_ANALOG16, 1, 0, &cell};
        teskar_clear();
        EXPECT_EQ(Call(&state, code, &gate), KEL_LINE_FAILURE);
        EXPECT_EQ(cell, 0x11223344u);
        // Only a write reports the missing reply, once per attempt.
        EXPECT_EQ(teskar_count(), code == KEL_CMD_WRITE_GATE ? 5 : 0);
    }
}

TEST(DriverInformation, FillsTheConstantsBeforeAnyOpenAndTouchesNoState) {
    DriverState state;
    std::memset(&state, 0x5A, sizeof state);
    const DriverState before = state;
    DriverInfo info;
    std::memset(&info, 0xEE, sizeof info);
    teskar_clear();
    ASSERT_EQ(Call(&state, KEL_CMD_DRIVER_INFO, &info), KEL_OK);
    EXPECT_EQ(std::memcmp(&state, &before, sizeof state), 0);
    EXPECT_EQ(teskar_count(), 0);
    EXPECT_EQ(info.hostValue1, 70u);
    EXPECT_STREQ(info.name, "Sharp PLC");
    EXPECT_EQ(info.hostValue2, 40u);
    EXPECT_EQ(info.hostValue3, 4u);
    EXPECT_EQ(info.defaultLine.baudRate, 9600);
    EXPECT_EQ(info.defaultLine.dataBits, 7);
    EXPECT_EQ(info.defaultLine.stopBits, 0);
    EXPECT_EQ(info.defaultLine.parity, 0);
    EXPECT_EQ(info.hostValue4, 3u);

    DriverInfo again {};
    ASSERT_EQ(Call(&state, KEL_CMD_DRIVER_INFO, &again), KEL_OK);
    EXPECT_EQ(again.name, info.name);
    EXPECT_EQ(again.banner, info.banner);
}

std::string Repeat(char c, int times) { return std::string(static_cast<std::size_t>(times), c); }

TEST(DriverInformation, BannerIsTheBoxedCodePage437Text) {
    DriverState state {};
    DriverInfo info {};
    ASSERT_EQ(Call(&state, KEL_CMD_DRIVER_INFO, &info), KEL_OK);
    const std::string banner = info.banner;
    ASSERT_EQ(banner.size(), 379u);
    ASSERT_EQ(banner[0], '\n');

    const char v = '\xBA';
    const std::string lines[] = {
        " \xC9" + Repeat('\xCD', 59) + "\xBB",
        std::string(" ") + v + " " + Repeat('\xDB', 5) + Repeat('\xB2', 6) + Repeat('\xB1', 6) +
            Repeat('\xB0', 6) + " K E L S R P " + Repeat('\xB0', 6) + Repeat('\xB1', 6) +
            Repeat('\xB2', 4) + Repeat('\xDB', 5) + " " + v,
        std::string(" ") + v + Repeat(' ', 12) + "Sharp PLC , New Satelite JW," + Repeat(' ', 19) + v,
        std::string(" ") + v + Repeat(' ', 11) + "Serial port, Driver Installed" + Repeat(' ', 19) + v,
    };
    std::size_t at = 1;
    for (const std::string& line : lines) {
        ASSERT_EQ(banner.substr(at, 63), line + "\n");
        at += 63;
    }
    // Line 5: the notice after four spaces, ending in the version, padded.
    const std::string notice = banner.substr(at, 63);
    EXPECT_EQ(notice.substr(0, 6), std::string(" ") + v + "    ");
    EXPECT_EQ(notice.substr(61), std::string(1, v) + "\n");
    const std::string text = notice.substr(6, 55);
    const std::size_t end = text.find_last_not_of(' ');
    ASSERT_NE(end, std::string::npos);
    EXPECT_EQ(text.substr(0, end + 1).substr(end + 1 - 12), "Version 7.00");
    at += 63;
    EXPECT_EQ(banner.substr(at), " \xC8" + Repeat('\xCD', 59) + "\xBC\n");
}

}  // namespace
