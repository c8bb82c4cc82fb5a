// The line settings of [line] as the line sees them: RS-485 asked of a port
// (what reaches the serial platform, and a port without the mode stopping
// the start with exit 1 and the system's reason), and the quiet time between
// requests on the simulator's line.
#include <gtest/gtest.h>

#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "jwgate/gateway_process.h"
#include "serial/serial_platform.h"
#include "support/fake_serial_platform.h"
#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/point_table.h"
#include "tools/jwgate/line/scan_engine.h"
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using kel::test_support::FakeSerialPlatform;
using kel::test_support::PlatformCall;

// Three u16 points far apart on station 1: three exchanges a scan.
std::string Points(int intervalMs) {
    std::string text;
    for (const char* address : {"01MA0100", "01MA0400", "01MA0700"}) {
        text += "[[point]]\nname = \"p" + std::string(address + 4) + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\ninterval_ms = " + std::to_string(intervalMs) + "\n";
    }
    return text;
}

GatewayConfig Load(const ScratchDirectory& directory, const std::string& text) {
    ConfigError error;
    const auto config = LoadConfig(directory.Write("line.toml", text), &error);
    if (!config) ADD_FAILURE() << error.Text();
    return config.value_or(GatewayConfig {});
}

TEST(GatewayRs485, APseudoTerminalHasNoRs485ModeAndTheStartFailsWithTheSystemsReason) {
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    const ScratchDirectory directory;
    const std::string path = directory.Write(
        "rs485.toml", "[line]\nport = \"" + std::string(name) +
                          "\"\nrs485 = true\nrts_delay_before_send_ms = 2\nrts_delay_after_send_ms = 3\n" + Points(1000));
    const RunResult check = RunProgram({JWGATE_BINARY, "--config", path, "--check"}, milliseconds(10000));
    EXPECT_EQ(check.exitCode, 0) << check.errors;
    EXPECT_NE(check.output.find("RS-485: RTS raised while sending, 2 ms before and 3 ms after"), std::string::npos)
        << check.output;
    const RunResult run = RunProgram({JWGATE_BINARY, "--config", path}, milliseconds(10000));
    EXPECT_EQ(run.exitCode, 1) << run.errors;
    const std::string expected = "jwgate: error: port " + std::string(name) +
                                 " cannot be switched to RS-485: Inappropriate ioctl for device\n";
    EXPECT_NE(run.errors.find(expected), std::string::npos) << run.errors;
    close(master);
}

// The scan engine on the recording platform: what the settings become at
// the seam.
class GatewayRs485Fake : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.AddDevice("COM1");
        kel::UseSerialPlatform(&fake_);
    }
    void TearDown() override { kel::UseSerialPlatform(nullptr); }

    FakeSerialPlatform fake_;
    ScratchDirectory directory_;
};

TEST_F(GatewayRs485Fake, TheEngineAsksThePlatformForWhatTheLineSays) {
    const std::pair<std::string, std::string> cases[] = {
        {"rs485 = true\n", "SetRs485 on 0/0"},
        {"rs485 = true\nrts_delay_before_send_ms = 1\nrts_delay_after_send_ms = 1000\n", "SetRs485 on 1/1000"},
        {"", ""},
    };
    for (const auto& [keys, call] : cases) {
        SCOPED_TRACE(keys);
        fake_.ClearLog();
        const GatewayConfig config = Load(directory_, "[line]\nport = \"COM1\"\n" + keys + Points(1000));
        PointTable table({milliseconds(1000), milliseconds(1000), milliseconds(1000)});
        WriteQueue writes;
        ScanEngine engine(std::make_shared<const GatewayConfig>(config), table, writes);
        std::string error;
        ASSERT_TRUE(engine.Start(&error)) << error;
        engine.Stop();  // the fake platform is read once the scan thread is gone
        std::vector<std::string> asked;
        for (const auto& record : fake_.CallsOf(PlatformCall::SetRs485)) asked.push_back(record.text);
        EXPECT_EQ(asked, call.empty() ? std::vector<std::string> {} : std::vector<std::string> {call});
        EXPECT_FALSE(fake_.IsOpen("COM1"));
    }
}

TEST(GatewayRequestGap, TheScanKeepsTheLineQuietBetweenRequests) {
    kel::jwsim::Simulator simulator {{.baud = 9600}};
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    const ScratchDirectory directory;
    const GatewayConfig config = Load(directory, "[line]\nport = \"" + simulator.portName() +
                                                     "\"\nlink_timeout_ms = 200\ndelay_between_requests_ms = 80\n" +
                                                     Points(100));
    PointTable table({milliseconds(100), milliseconds(100), milliseconds(100)});
    WriteQueue writes;
    ScanEngine engine(std::make_shared<const GatewayConfig>(config), table, writes);
    std::string error;
    ASSERT_TRUE(engine.Start(&error)) << error;
    const bool enough = simulator.WaitForRequests(9, milliseconds(10000));
    engine.Stop();
    ASSERT_TRUE(enough);
    const auto times = simulator.RequestTimes();
    double least = 1e9;
    for (std::size_t i = 1; i < times.size(); ++i) {
        least = std::min(least, std::chrono::duration<double, std::milli>(times[i] - times[i - 1]).count());
    }
    std::printf("%zu requests, 80 ms asked between them: at least %.1f ms apart\n", times.size(), least);
    EXPECT_GE(least, 80.0);
}

}  // namespace
}  // namespace jwgate::test
