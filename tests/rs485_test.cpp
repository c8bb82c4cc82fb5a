// RS-485 half duplex through the serial seam: the settings that reach the
// platform and the errno it reports back, the kernel request the POSIX
// backend makes of them, and a pseudo-terminal, which has no such mode,
// refusing it with the system's reason.
#include <gtest/gtest.h>

#include <linux/serial.h>
#include <pty.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "serial/posix/posix_rs485.h"
#include "serial/serial_port.h"
#include "support/fake_serial_platform.h"

namespace kel {
namespace {

using test_support::FakeSerialPlatform;
using test_support::PlatformCall;

class Rs485Fake : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.AddDevice("COM1");
        UseSerialPlatform(&fake_);
        const LineParameters parameters {9600, 8, 0, 0};
        ASSERT_EQ(OpenPort("COM1", &parameters, 8, &port_), kSerialOk);
        fake_.ClearLog();
    }
    void TearDown() override { UseSerialPlatform(nullptr); }

    FakeSerialPlatform fake_;
    PortHandle port_ = nullptr;
};

TEST_F(Rs485Fake, TheSettingsReachThePlatformAsGiven) {
    const std::pair<Rs485Settings, std::string> cases[] = {
        {{true, 0, 0}, "SetRs485 on 0/0"},
        {{true, 5, 7}, "SetRs485 on 5/7"},
        {{true, 1000, 1000}, "SetRs485 on 1000/1000"},
        {{false, 0, 0}, "SetRs485 off"},
    };
    for (const auto& [settings, text] : cases) {
        SCOPED_TRACE(text);
        fake_.ClearLog();
        int errorNumber = -1;
        EXPECT_EQ(SetRs485Mode(port_, settings, &errorNumber), kSerialOk);
        EXPECT_EQ(errorNumber, 0);
        ASSERT_EQ(fake_.Calls(), std::vector<std::string> {text});
        EXPECT_EQ(fake_.Log()[0].handle, port_);
        EXPECT_EQ(fake_.Log()[0].rs485, settings);
        EXPECT_EQ(fake_.Device("COM1").rs485, settings);
    }
}

TEST_F(Rs485Fake, ARefusalComesBackWithTheSystemsErrorNumber) {
    fake_.Device("COM1").rs485Error = ENOTTY;
    int errorNumber = 0;
    EXPECT_EQ(SetRs485Mode(port_, {true, 5, 7}, &errorNumber), kSerialStateRefused);
    EXPECT_EQ(errorNumber, ENOTTY);
    EXPECT_EQ(fake_.Device("COM1").rs485, Rs485Settings {});  // nothing applied

    fake_.Device("COM1").rs485Error = 0;
    fake_.Fail(PlatformCall::SetRs485);
    EXPECT_EQ(SetRs485Mode(port_, {true, 0, 0}, &errorNumber), kSerialStateRefused);
    EXPECT_EQ(errorNumber, EINVAL);

    ASSERT_EQ(ClosePort(port_), kSerialOk);
    EXPECT_EQ(SetRs485Mode(port_, {true, 0, 0}, &errorNumber), kSerialStateRefused);
    EXPECT_EQ(errorNumber, EBADF);
}

TEST(Rs485Request, EnablesRtsOnSendWithTheDelaysAndKeepsTheBoardsOwnFlags) {
    struct Case {
        const char* what;
        std::uint32_t currentFlags;
        Rs485Settings settings;
        std::uint32_t flags;
        std::uint32_t before;
        std::uint32_t after;
    };
    constexpr std::uint32_t kBoard = SER_RS485_RX_DURING_TX | SER_RS485_TERMINATE_BUS;
    const Case cases[] = {
        {"from nothing", 0, {true, 5, 7}, SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 5, 7},
        {"RTS after send turned round", SER_RS485_RTS_AFTER_SEND, {true, 0, 1000},
         SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 0, 1000},
        {"termination kept", kBoard, {true, 1, 2}, kBoard | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, 1, 2},
        {"off keeps the rest", kBoard | SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND, {false, 9, 9},
         kBoard | SER_RS485_RTS_ON_SEND, 3, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        serial_rs485 current {};
        current.flags = c.currentFlags;
        current.delay_rts_before_send = 3;
        current.delay_rts_after_send = 4;
        const serial_rs485 request = posix::Rs485Request(current, c.settings);
        EXPECT_EQ(request.flags, c.flags);
        EXPECT_EQ(request.delay_rts_before_send, c.before);
        EXPECT_EQ(request.delay_rts_after_send, c.after);
    }
}

TEST(Rs485Pty, APseudoTerminalRefusesTheModeWithTheSystemsReason) {
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    const LineParameters parameters {9600, 8, 0, 0};
    PortHandle port = nullptr;
    ASSERT_EQ(OpenPort(name, &parameters, 8, &port), kSerialOk);
    int errorNumber = 0;
    EXPECT_EQ(SetRs485Mode(port, {true, 5, 7}, &errorNumber), kSerialStateRefused);
    EXPECT_EQ(errorNumber, ENOTTY) << std::strerror(errorNumber);
    EXPECT_EQ(ClosePort(port), kSerialOk);
    close(master);
}

}  // namespace
}  // namespace kel
