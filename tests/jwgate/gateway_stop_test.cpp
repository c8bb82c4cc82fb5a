// The gateway stopped in this process while the scan thread is answering
// Modbus writes: every client hears about its write, and the stop neither
// crashes nor hangs (the sanitizer builds run it too).
#include <gtest/gtest.h>

#include <modbus/modbus.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/free_port.h"
#include "jwgate/gateway_process.h"
#include "tools/jwgate/gateway.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr int kPoints = 12;
constexpr int kClients = 2 * kPoints;  // two writers per point: some writes are joined

std::string Configuration(const std::string& line, int modbusPort) {
    std::string text = "[line]\nport = \"" + line + "\"\nlink_timeout_ms = 200\n[modbus]\nport = " +
                       std::to_string(modbusPort) + "\nwrite_timeout_ms = 5000\nmax_clients = " + std::to_string(kClients) + "\n";
    for (int i = 0; i < kPoints; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", 0100 + 2 * i);
        text += "[[point]]\nname = \"w" + std::to_string(i) + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\ninterval_ms = 100\nwritable = true\nmodbus = " + std::to_string(i) + "\n";
    }
    return text;
}

// Whether a whole answer to "write single register" came: its echo or an
// exception, before the connection closed.
bool Answered(int fd, milliseconds patience) {
    std::array<std::uint8_t, 16> reply {};
    std::size_t got = 0;
    const auto until = Clock::now() + patience;
    while (Clock::now() < until) {
        const std::size_t whole = got >= 6 ? 6 + reply[5] : 6;
        if (got >= 6 && got == whole) return reply[7] == 6 || reply[7] == (0x80 | 6);
        pollfd ready {fd, POLLIN, 0};
        if (poll(&ready, 1, 50) != 1) continue;
        const ssize_t n = recv(fd, reply.data() + got, std::min(whole, reply.size()) - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return false;
}

std::uint64_t WritesReceived(const Gateway& gateway) {
    const auto requests = gateway.Snapshot().modbus.requests;
    const auto found = requests.find(6);
    return found == requests.end() ? 0 : found->second;
}

TEST(GatewayStop, StoppingWhileTheScanAnswersWritesAnswersEveryClient) {
    // Later stops find more of the writes done, and the rest under way.
    for (const int delayMs : {0, 60, 150, 300}) {
        SCOPED_TRACE("stopped " + std::to_string(delayMs) + " ms after the writes came");
        kel::jwsim::Simulator simulator {{.baud = 9600}};
        ASSERT_TRUE(simulator.Start()) << simulator.error();
        ScratchDirectory directory;
        const int modbusPort = FreeTcpPort();
        ConfigError error;
        auto config = LoadConfig(directory.Write("gateway.toml", Configuration(simulator.devicePath(), modbusPort)),
                                 &error);
        ASSERT_TRUE(config) << error.Text();
        auto gateway = std::make_unique<Gateway>(std::make_shared<const GatewayConfig>(std::move(*config)));
        std::string reason;
        ASSERT_TRUE(gateway->Start(&reason)) << reason;

        std::vector<int> clients;
        for (int i = 0; i < kClients; ++i) {
            const int fd = ConnectRaw(modbusPort);
            ASSERT_GE(fd, 0);
            const std::array<std::uint8_t, 12> frame {0, 1, 0, 0, 0, 6, 1, 6, 0, static_cast<std::uint8_t>(i % kPoints),
                                                      0, static_cast<std::uint8_t>(i)};
            ASSERT_EQ(send(fd, frame.data(), frame.size(), 0), static_cast<ssize_t>(frame.size()));
            clients.push_back(fd);
        }
        // Every write reached the server before the stop: one it never read
        // would go unanswered through no fault of its own.
        const auto until = Clock::now() + milliseconds(5000);
        while (WritesReceived(*gateway) < kClients && Clock::now() < until) std::this_thread::sleep_for(milliseconds(5));
        ASSERT_EQ(WritesReceived(*gateway), static_cast<std::uint64_t>(kClients));
        std::this_thread::sleep_for(milliseconds(delayMs));

        const auto start = Clock::now();
        gateway.reset();
        const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
        EXPECT_LT(took, 3000) << "the stop hung";
        int answered = 0;
        for (const int fd : clients) {
            answered += Answered(fd, milliseconds(1000)) ? 1 : 0;
            close(fd);
        }
        EXPECT_EQ(answered, kClients);
    }
}

}  // namespace
}  // namespace jwgate::test
