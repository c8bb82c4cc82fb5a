// The port lifecycle commands end to end through KelMain, on pseudo-terminal
// pairs: the driver opens the slave by its name under /dev/, the test plays
// the controller's end of the line on the master.
#include <gtest/gtest.h>

#include <termios.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "teskar.h"

namespace {

using kel::test::DeviceIsFree;
using kel::test::PtyPair;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kArrival {2000};
constexpr LineSettings k9600_7E1 {9600, 7, 0, 2};

int32_t Call(DriverState* state, int32_t command, void* block = nullptr) {
    KelRequest request {state, command, 0, 0, block};
    return KelMain(&request);
}

void CopyName(char (&field)[KEL_PORT_NAME_SIZE], const std::string& name) {
    ASSERT_LT(name.size(), sizeof field) << name;
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name.data(), name.size());
}

int32_t Open(DriverState* state, const std::string& name, uint32_t linkTimeout,
             const LineSettings& line = k9600_7E1) {
    OpenRequest block {};
    CopyName(block.portName, name);
    block.enable = 1;
    block.LinkTimeout = linkTimeout;
    block.line = line;
    return Call(state, KEL_CMD_OPEN, &block);
}

int32_t ChangePort(DriverState* state, const std::string& name, uint32_t linkTimeout,
                   const LineSettings& line) {
    ChangePortRequest block {};
    CopyName(block.portName, name);
    block.LinkTimeout = linkTimeout;
    block.line = line;
    return Call(state, KEL_CMD_CHANGE_PORT, &block);
}

// Index of the kept message with this text, or -1.
int FindMessage(const std::string& text) {
    for (int i = 0; i < teskar_count(); ++i) {
        if (text == teskar_text(i)) return i;
    }
    return -1;
}

// The read timeout a port runs with, in units of 10 ms: set it to the value
// and take the previous one back, which leaves it as it was.
std::int32_t ReadTimeoutUnits(kel::PortHandle port) {
    const std::int32_t previous = kel::SetReadTimeout(port, 1);
    kel::SetReadTimeout(port, previous);
    return previous;
}

// Bytes from the far side come out of the port the driver holds; bytes the
// port sends reach the far side.
void ExpectFrameExchange(const PtyPair& pty, kel::PortHandle port) {
    const std::string request = "::01R0000000\r";
    ASSERT_TRUE(pty.WriteFromFarSide(request.data(), request.size()));
    // Read only once it is there, so the port's short LinkTimeout cannot
    // race the kernel's delivery on a busy machine.
    ASSERT_TRUE(pty.WaitForBytesAtSlave(static_cast<int>(request.size()), kArrival));
    std::string got(request.size(), '\0');
    std::uint32_t count = 0;
    EXPECT_EQ(kel::ReadPort(port, got.data(), static_cast<std::uint16_t>(got.size()), &count), kel::kSerialOk);
    EXPECT_EQ(got, request);

    const std::string reply = "::01R00001234AB\r";
    std::uint32_t written = 0;
    EXPECT_EQ(kel::WritePort(port, reply.data(), static_cast<std::uint32_t>(reply.size()), &written),
              kel::kSerialOk);
    const std::vector<unsigned char> seen = pty.ReadOnFarSide(reply.size(), kArrival);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), reply);
}

class LifecyclePtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        kel::UseSerialPlatform(nullptr);
        ASSERT_TRUE(pty.ok()) << pty.error();
        ASSERT_TRUE(other.ok()) << other.error();
        name = pty.relativeName();
        ASSERT_LT(name.size(), static_cast<std::size_t>(KEL_PORT_NAME_SIZE));
        teskar_clear();
    }
    void TearDown() override {
        // Release whatever a test left held, so later tests find free devices.
        Call(&state, KEL_CMD_CLOSE);
        Call(&second, KEL_CMD_CLOSE);
    }

    PtyPair pty;
    PtyPair other;
    std::string name;
    DriverState state {};
    DriverState second {};
};

using LifecyclePtyOpen = LifecyclePtyTest;

TEST_F(LifecyclePtyOpen, OpenConfiguresTheLineAppliesTheLinkTimeoutAndLogs) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    ASSERT_NE(state.portHandle, nullptr);
    EXPECT_EQ(state.portOpen, 1u);
    EXPECT_EQ(state.LinkTimeout, 10u);
    EXPECT_STREQ(state.portSettings.portName, name.c_str());
    EXPECT_EQ(state.portSettings.line.baudRate, 9600);
    EXPECT_EQ(state.portSettings.line.dataBits, 7);
    EXPECT_EQ(state.portSettings.line.parity, 2);
    EXPECT_EQ(state.portSettings.handshakeFlags, 8);

    const int loaded = FindMessage("KELSRP: Loaded succesfully");
    ASSERT_GE(loaded, 0);
    EXPECT_EQ(teskar_level(loaded), KEL_LOG_LEVEL_INFO);

    // The device is held and its line is raw at 9600.
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    const termios tio = pty.Attributes();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);

    ExpectFrameExchange(pty, state.portHandle);

    // LinkTimeout 10 is 100 ms.
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 10);
    unsigned char byte = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kel::ReadPort(state.portHandle, &byte, 1, nullptr), kel::kSerialIoFailed);
    const auto elapsed = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
    EXPECT_GE(elapsed, 95);
    EXPECT_LE(elapsed, 700);
}

TEST_F(LifecyclePtyOpen, SecondOpenOfTheHeldDeviceFailsAndLogsWhileTheFirstHandleStays) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    const kel::PortHandle held = state.portHandle;
    teskar_clear();

    EXPECT_EQ(Open(&state, name, 20), KEL_LINE_FAILURE);
    ASSERT_EQ(teskar_count(), 1);
    EXPECT_EQ(teskar_level(0), KEL_LOG_LEVEL_INFO);
    EXPECT_EQ(std::string(teskar_text(0)), "KELSharp PLC : Fail to open " + name);
    EXPECT_EQ(state.portHandle, held);
    EXPECT_EQ(state.LinkTimeout, 10u);
    EXPECT_EQ(ReadTimeoutUnits(held), 10);
    ExpectFrameExchange(pty, held);
}

TEST_F(LifecyclePtyOpen, SecondDriverStateCannotOpenTheDeviceTheFirstHolds) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    EXPECT_EQ(Open(&second, name, 10), KEL_LINE_FAILURE);
    EXPECT_EQ(second.portHandle, nullptr);
    ExpectFrameExchange(pty, state.portHandle);

    // Once the first lets go, the second gets it.
    ASSERT_EQ(Call(&state, KEL_CMD_CLOSE), KEL_OK);
    EXPECT_EQ(Open(&second, name, 10), KEL_OK);
    ASSERT_NE(second.portHandle, nullptr);
    ExpectFrameExchange(pty, second.portHandle);
}

using LifecyclePtyWarmStart = LifecyclePtyTest;

TEST_F(LifecyclePtyWarmStart, WarmStartDiscardsWaitingInputAndKeepsTheLinkTimeout) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    const std::vector<unsigned char> stale(700, '?');
    ASSERT_TRUE(pty.WriteFromFarSide(stale));
    ASSERT_TRUE(pty.WaitForBytesAtSlave(700, kArrival)) << pty.BytesWaitingAtSlave();
    teskar_clear();

    EXPECT_EQ(Call(&state, KEL_CMD_WARM_START), KEL_OK);
    EXPECT_EQ(pty.BytesWaitingAtSlave(), 0);
    const int warm = FindMessage("KELSRP: Warm start");
    ASSERT_GE(warm, 0);
    EXPECT_EQ(teskar_level(warm), KEL_LOG_LEVEL_INFO);
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 10);
    ExpectFrameExchange(pty, state.portHandle);
}

using LifecyclePtyClose = LifecyclePtyTest;

TEST_F(LifecyclePtyClose, CloseReleasesTheDeviceAndKeepsTheSettings) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    for (int32_t command : {KEL_CMD_CLOSE, KEL_CMD_CLOSE_ALT}) {
        SCOPED_TRACE(command);
        EXPECT_EQ(Call(&state, command), KEL_OK);
        EXPECT_EQ(state.portHandle, nullptr);
        EXPECT_TRUE(DeviceIsFree(pty.path()));
        EXPECT_EQ(state.portOpen, 1u);
        EXPECT_STREQ(state.portSettings.portName, name.c_str());
        EXPECT_EQ(state.portSettings.line.baudRate, 9600);
        // Someone else can open it now.
        kel::PortHandle handle = nullptr;
        const kel::LineParameters line {9600, 7, 0, 2};
        ASSERT_EQ(kel::OpenPort(pty.path().c_str(), &line, 8, &handle), kel::kSerialOk);
        EXPECT_EQ(kel::ClosePort(handle), kel::kSerialOk);
        ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    }
}

using LifecyclePtyReopen = LifecyclePtyTest;

TEST_F(LifecyclePtyReopen, ReopenTakesTheDeviceBackWithTheOpenDefaultTimeout) {
    const LineSettings line {19200, 7, 2, 2};
    ASSERT_EQ(Open(&state, name, 10, line), KEL_OK);
    ASSERT_EQ(Call(&state, KEL_CMD_CLOSE), KEL_OK);
    // Someone changed the line meanwhile; reopen must set it again.
    termios changed = pty.Attributes();
    cfsetospeed(&changed, B38400);
    cfsetispeed(&changed, B38400);
    changed.c_cflag &= ~static_cast<tcflag_t>(CSTOPB);
    changed.c_lflag |= ECHO | ICANON;
    ASSERT_EQ(tcsetattr(pty.slave(), TCSANOW, &changed), 0);
    state.portOpen = 0;

    EXPECT_EQ(Call(&state, KEL_CMD_REOPEN), KEL_OK);
    ASSERT_NE(state.portHandle, nullptr);
    EXPECT_EQ(state.portOpen, 1u);
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    const termios tio = pty.Attributes();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B19200));
    EXPECT_NE(tio.c_cflag & CSTOPB, 0u);
    EXPECT_EQ(tio.c_lflag & (ECHO | ICANON), 0u);
    // 1000 ms, not LinkTimeout's 100.
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 100);
    EXPECT_EQ(state.LinkTimeout, 10u);
    ExpectFrameExchange(pty, state.portHandle);
}

TEST_F(LifecyclePtyReopen, ReopenWhileTheDeviceIsHeldFailsAndKeepsTheHandle) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    const kel::PortHandle held = state.portHandle;
    teskar_clear();
    EXPECT_EQ(Call(&state, KEL_CMD_REOPEN), KEL_LINE_FAILURE);
    EXPECT_EQ(teskar_count(), 0);
    EXPECT_EQ(state.portHandle, held);
    EXPECT_EQ(ReadTimeoutUnits(held), 10);
    ExpectFrameExchange(pty, held);
}

using LifecyclePtyChangePort = LifecyclePtyTest;

TEST_F(LifecyclePtyChangePort, ChangeToAnotherDeviceReleasesTheFirstAndAppliesTheLinkTimeout) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    const std::string otherName = other.relativeName();

    // Baud 0 keeps the line settings.
    EXPECT_EQ(ChangePort(&state, otherName, 25, LineSettings {0, 8, 2, 0}), KEL_OK);
    ASSERT_NE(state.portHandle, nullptr);
    EXPECT_EQ(state.portOpen, 1u);
    EXPECT_EQ(state.LinkTimeout, 25u);
    EXPECT_STREQ(state.portSettings.portName, otherName.c_str());
    EXPECT_EQ(state.portSettings.line.baudRate, 9600);
    EXPECT_EQ(state.portSettings.line.dataBits, 7);
    EXPECT_EQ(state.portSettings.line.stopBits, 0);
    EXPECT_EQ(state.portSettings.line.parity, 2);

    EXPECT_TRUE(DeviceIsFree(pty.path()));
    EXPECT_FALSE(DeviceIsFree(other.path()));
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 25);
    const termios tio = other.Attributes();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
    ExpectFrameExchange(other, state.portHandle);

    // Back to the first with new line settings and LinkTimeout 0 (kept).
    EXPECT_EQ(ChangePort(&state, name, 0, LineSettings {19200, 8, 2, 0}), KEL_OK);
    EXPECT_TRUE(DeviceIsFree(other.path()));
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    EXPECT_EQ(state.LinkTimeout, 25u);
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 25);
    const termios back = pty.Attributes();
    EXPECT_EQ(cfgetospeed(&back), static_cast<speed_t>(B19200));
    EXPECT_NE(back.c_cflag & CSTOPB, 0u);
    ExpectFrameExchange(pty, state.portHandle);
}

TEST_F(LifecyclePtyChangePort, ChangeWithTheSameNameWhileOpenFailsAndTheHeldHandleStaysUsable) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    const kel::PortHandle held = state.portHandle;
    teskar_clear();

    EXPECT_EQ(ChangePort(&state, name, 30, LineSettings {19200, 8, 0, 0}), KEL_LINE_FAILURE);
    EXPECT_EQ(teskar_count(), 0);
    EXPECT_EQ(state.portHandle, held);
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    // The held port was neither closed nor reconfigured.
    const termios tio = pty.Attributes();
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(ReadTimeoutUnits(held), 10);
    ExpectFrameExchange(pty, held);
}

TEST_F(LifecyclePtyChangePort, ChangeWhileClosedOpensTheDevice) {
    ASSERT_EQ(Open(&state, name, 10), KEL_OK);
    ASSERT_EQ(Call(&state, KEL_CMD_CLOSE), KEL_OK);
    EXPECT_EQ(ChangePort(&state, name, 0, LineSettings {0, 0, 0, 0}), KEL_OK);
    ASSERT_NE(state.portHandle, nullptr);
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    EXPECT_EQ(ReadTimeoutUnits(state.portHandle), 10);
    ExpectFrameExchange(pty, state.portHandle);
}

}  // namespace
