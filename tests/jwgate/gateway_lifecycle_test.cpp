// jwgate as a plant treats it: SIGTERM while writes wait on a silent line,
// writes that wait through an outage, and a port whose device goes away and
// comes back under the same name.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/free_port.h"
#include "jwgate/gateway_process.h"
#ifdef JWGATE_TEST_MQTT
#include "jwgate/broker_process.h"
#include "jwgate/topic_watcher.h"
#endif
#include "tools/jwgate/core/write_queue.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kLongPatience {15000};

// Four writable 16-bit points at holding registers 0 to 3 (MA0100 to
// MA0106), and on MQTT as jw/w0 to jw/w3 when a broker is given.
std::string Configuration(const std::string& port, int linkTimeoutMs, int writeTimeoutMs, int broker = 0) {
    std::string text = "[line]\nport = \"" + port + "\"\nlink_timeout_ms = " + std::to_string(linkTimeoutMs) +
                       "\n[modbus]\nport = 0\nwrite_timeout_ms = " + std::to_string(writeTimeoutMs) + "\n";
    if (broker != 0) text += "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"jw/status\"\n";
    for (int i = 0; i < 4; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", 0100 + 2 * i);
        const std::string name = "w" + std::to_string(i);
        text += "[[point]]\nname = \"" + name + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\ninterval_ms = 100\nwritable = true\nmodbus = " + std::to_string(i) + "\n";
        if (broker != 0) text += "mqtt_topic = \"jw/" + name + "\"\n";
    }
    return text;
}

// Sends "write single register" from a client that does not wait for the
// answer; the socket, or -1.
int SendWrite(int port, int reg, int value) {
    const int fd = ConnectRaw(port);
    const std::array<std::uint8_t, 12> frame {0, 7, 0, 0, 0, 6, 1, 6, 0, static_cast<std::uint8_t>(reg),
                                              static_cast<std::uint8_t>(value >> 8),
                                              static_cast<std::uint8_t>(value & 0xFF)};
    if (fd >= 0 && send(fd, frame.data(), frame.size(), 0) != static_cast<ssize_t>(frame.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

// The exception code the server answered a write with; -1 for no answer
// within timeout or for anything else.
int ExceptionAnswer(int fd, milliseconds timeout) {
    std::uint8_t reply[16] = {};
    std::size_t got = 0;
    const auto until = Clock::now() + timeout;
    while (got < 9 && Clock::now() < until) {
        pollfd ready {fd, POLLIN, 0};
        if (poll(&ready, 1, 50) != 1) continue;
        const ssize_t n = recv(fd, reply + got, sizeof reply - got, 0);
        if (n <= 0) return -1;
        got += static_cast<std::size_t>(n);
    }
    return got == 9 && reply[7] == (0x80 | 6) ? reply[8] : -1;
}

struct ModbusDeleter {
    void operator()(modbus_t* modbus) const {
        modbus_close(modbus);
        modbus_free(modbus);
    }
};

// Holding register reg once it reads as wanted, within the patience.
bool ReadsAs(int port, int reg, int wanted) {
    std::unique_ptr<modbus_t, ModbusDeleter> client(modbus_new_tcp("127.0.0.1", port));
    if (!client || modbus_connect(client.get()) != 0) return false;
    const auto until = Clock::now() + kLongPatience;
    while (Clock::now() < until) {
        std::uint16_t value = 0;
        if (modbus_read_registers(client.get(), reg, 1, &value) == 1 && value == wanted) return true;
        std::this_thread::sleep_for(milliseconds(50));
    }
    return false;
}

// The queue's refusals end with their cause: a full queue takes writes
// again once one is taken, and a replaced write hears the outcome of the
// write that replaced it.
TEST(WriteQueue, AFullQueueTakesWritesAgainOnceOneGoesOutAndAReplacedWriteSharesTheOutcome) {
    WriteQueue queue({std::chrono::milliseconds(60000), 2});
    std::vector<std::pair<std::size_t, WriteOutcome>> heard;
    const auto write = [&](std::size_t point, std::uint32_t raw) {
        return PendingWrite {point, raw, [&heard, point](WriteOutcome outcome) { heard.emplace_back(point, outcome); }};
    };
    EXPECT_TRUE(queue.Submit(write(0, 1)));
    EXPECT_TRUE(queue.Submit(write(1, 1)));
    EXPECT_FALSE(queue.Submit(write(2, 1)));  // full: refused at once
    EXPECT_TRUE(queue.Submit(write(0, 7)));   // replaces point 0's value, takes no room
    ASSERT_EQ(heard.size(), 1u);
    EXPECT_EQ(heard[0], std::make_pair(std::size_t {2}, WriteOutcome {WriteCause::kQueueFull}));

    WriteQueue::Taken taken = queue.TakeNext();
    ASSERT_TRUE(taken.next);
    EXPECT_EQ(taken.next->raw, 7u);
    EXPECT_TRUE(queue.Submit(write(2, 1)));  // room again
    taken.next->done({WriteCause::kDone});
    EXPECT_EQ(heard.size(), 3u);  // both writes to point 0 heard it
    EXPECT_EQ(queue.Counts().refused, 1u);
    EXPECT_EQ(queue.Counts().superseded, 1u);
}

TEST(GatewayLifecycle, SigtermOnASilentLineEndsWithinTwoSecondsAndAnswersEveryQueuedWrite) {
    // A line nobody answers, and a link timeout of a minute.
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
#ifdef JWGATE_TEST_MQTT
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    TopicWatcher watcher(broker.port());
    ASSERT_TRUE(watcher.ready());
    GatewayProcess gateway(Configuration(name, 60000, 30000, broker.port()));
    ASSERT_TRUE(watcher.WaitFor("jw/status", "online")) << gateway.Log();
    for (int i = 0; i < 1000; ++i) watcher.Publish("jw/w" + std::to_string(i % 4) + "/set", std::to_string(i), false);
#else
    GatewayProcess gateway(Configuration(name, 60000, 30000));
#endif
    const int port = gateway.ModbusPort(kLongPatience);
    ASSERT_GT(port, 0) << gateway.Log();

    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(SendWrite(port, i, 100 + i));
    for (const int fd : clients) ASSERT_GE(fd, 0);
    std::this_thread::sleep_for(milliseconds(300));  // the scan is in a minute-long exchange, the writes wait

    const auto start = Clock::now();
    EXPECT_EQ(gateway.Stop(SIGTERM, milliseconds(10000)), 0) << gateway.Log();
    const auto took = std::chrono::duration_cast<milliseconds>(Clock::now() - start);
    std::printf("stopped %lld ms after SIGTERM\n", static_cast<long long>(took.count()));
    EXPECT_LT(took.count(), 2000) << gateway.Log();
    for (const int fd : clients) {
        EXPECT_EQ(ExceptionAnswer(fd, milliseconds(100)), 0x0B);  // answered before the server closed
        close(fd);
    }
#ifdef JWGATE_TEST_MQTT
    EXPECT_TRUE(watcher.WaitFor("jw/status", "offline"));
#endif
    close(master);
}

TEST(GatewayLifecycle, WritesThatOutwaitTheirTimeoutDuringAnOutageNeverReachTheController) {
    kel::jwsim::Simulator simulator {{.baud = 9600}};  // paced as the line's default rate
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    GatewayProcess gateway(Configuration(simulator.devicePath(), 500, 1000));
    const int port = gateway.ModbusPort(kLongPatience);
    ASSERT_GT(port, 0) << gateway.Log();
    ASSERT_TRUE(ReadsAs(port, 0, 0)) << gateway.Log();

    // Replies lost: the first write holds the line for five attempts of
    // half a second, while the other three outwait their second.
    simulator.InjectFault(kel::jwsim::DefaultFault(kel::jwsim::FaultKind::kNoReply, 1000000));
    std::vector<int> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(SendWrite(port, i, 0x1111 * (i + 1)));
    for (const int fd : clients) EXPECT_EQ(ExceptionAnswer(fd, milliseconds(5000)), 0x0B);
    ASSERT_TRUE(gateway.WaitForLog("unsent", kLongPatience)) << gateway.Log();
    simulator.ClearFaults();

    // The line is back: the next scans read, and the old setpoints stay unsent.
    ASSERT_TRUE(ReadsAs(port, 1, 0)) << gateway.Log();
    for (const std::string& payload : simulator.Payloads()) {
        for (const char* late : {"WRGA0102", "WRGA0104", "WRGA0106"}) {
            EXPECT_EQ(payload.find(late), std::string::npos) << payload;
        }
    }
    for (const int fd : clients) close(fd);
    // A fresh write goes through, and is served at once, not after the next scan.
    std::unique_ptr<modbus_t, ModbusDeleter> client(modbus_new_tcp("127.0.0.1", port));
    ASSERT_EQ(modbus_connect(client.get()), 0);
    EXPECT_EQ(modbus_write_register(client.get(), 2, 0x4242), 1) << modbus_strerror(errno);
    std::uint16_t value = 0;
    EXPECT_EQ(modbus_read_registers(client.get(), 2, 1, &value), 1);
    EXPECT_EQ(value, 0x4242);
    EXPECT_EQ(gateway.Stop(SIGTERM, kLongPatience), 0);
}

TEST(GatewayLifecycle, APortWhoseDeviceGoesAndComesBackIsReopened) {
    ScratchDirectory directory;
    const std::string link = directory.path() + "/line";
    auto first = std::make_unique<kel::jwsim::Simulator>(kel::jwsim::SimulatorOptions {.baud = 9600});
    ASSERT_TRUE(first->Start()) << first->error();
    first->Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x01, 0x00}); });
    ASSERT_EQ(symlink(first->devicePath().c_str(), link.c_str()), 0);
    GatewayProcess gateway(Configuration(link, 50, 1000));
    const int port = gateway.ModbusPort(kLongPatience);
    ASSERT_GT(port, 0) << gateway.Log();
    ASSERT_TRUE(ReadsAs(port, 0, 1)) << gateway.Log();

    // Unplugged: the pseudo-terminal and its name go away.
    first.reset();
    ASSERT_TRUE(gateway.WaitForLog("closed it, reopening", kLongPatience)) << gateway.Log();

    // Plugged back: another device under the same name.
    kel::jwsim::Simulator second {{.baud = 9600}};
    ASSERT_TRUE(second.Start()) << second.error();
    second.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x02, 0x00}); });
    const std::string fresh = link + ".new";
    ASSERT_EQ(symlink(second.devicePath().c_str(), fresh.c_str()), 0);
    ASSERT_EQ(rename(fresh.c_str(), link.c_str()), 0);
    const auto back = Clock::now();
    ASSERT_TRUE(ReadsAs(port, 0, 2)) << gateway.Log();
    std::printf("served again %lld ms after the device returned\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(Clock::now() - back).count()));
    EXPECT_TRUE(gateway.WaitForLog("open again", kLongPatience)) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, kLongPatience), 0);
}

}  // namespace
}  // namespace jwgate::test
