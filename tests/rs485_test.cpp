// The kernel request the POSIX backend makes of the RS-485 settings. What
// reaches the platform, and a pseudo-terminal refusing the mode, are tested
// through the gateway (tests/jwgate/line_settings_test.cpp).
#include <gtest/gtest.h>

#include <linux/serial.h>

#include <string>
#include <vector>

#include "serial/posix/posix_rs485.h"

namespace kel {
namespace {

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

}  // namespace
}  // namespace kel
