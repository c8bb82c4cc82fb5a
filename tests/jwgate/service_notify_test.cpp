// jwgate as systemd sees it: a notify socket of the test's own (what
// NOTIFY_SOCKET names for a Type=notify service) hears READY=1 once the
// servers listen, WATCHDOG=1 while the scan runs and not while it is held,
// STOPPING=1 on SIGTERM; and a serial port missing at start is served bad
// until its device appears.
#include <gtest/gtest.h>

#include <httplib.h>
#include <modbus/modbus.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/free_port.h"
#include "jwgate/gateway_process.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kPatience {15000};
constexpr milliseconds kWatchdog {1000};
constexpr milliseconds kStep {20};

// The datagram socket systemd listens on, read at once as systemd reads it
// (a full queue would hold the sender), named to the jwgate started while it
// lives, with a watchdog of kWatchdog.
class NotifySocket {
public:
    NotifySocket() {
        const std::string path = directory_.path() + "/notify";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {AF_UNIX, {}};
        path.copy(address.sun_path, sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return;
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        setenv("WATCHDOG_USEC", std::to_string(kWatchdog.count() * 1000).c_str(), 1);
        reader_ = std::thread([this] {
            char text[256];
            for (pollfd ready {fd_, POLLIN, 0}; !stop_.load();) {
                if (poll(&ready, 1, 50) != 1) continue;
                const ssize_t n = recv(fd_, text, sizeof text, 0);
                const std::lock_guard<std::mutex> lock(mutex_);
                if (n > 0) notices_.emplace_back(text, static_cast<std::size_t>(n));
            }
        });
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        stop_.store(true);
        if (reader_.joinable()) reader_.join();
        close(fd_);
    }
    bool ready() const { return reader_.joinable(); }
    std::size_t Count(const std::string& notice) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(std::count(notices_.begin(), notices_.end(), notice));
    }
    // How many times notice arrives within window from now.
    std::size_t CountWithin(const std::string& notice, milliseconds window) {
        const std::size_t before = Count(notice);
        std::this_thread::sleep_for(window);
        return Count(notice) - before;
    }
    bool WaitFor(const std::string& notice) {
        for (const auto until = Clock::now() + kPatience; Count(notice) == 0; std::this_thread::sleep_for(kStep)) {
            if (Clock::now() > until) return false;
        }
        return true;
    }

private:
    ScratchDirectory directory_;
    int fd_ = -1;
    std::atomic<bool> stop_ {false};
    std::mutex mutex_;
    std::vector<std::string> notices_;
    std::thread reader_;
};

std::string Configuration(const std::string& port, int linkTimeoutMs) {
    return "[line]\nport = \"" + port + "\"\nlink_timeout_ms = " + std::to_string(linkTimeoutMs) +
           "\n[modbus]\nport = 0\n[http]\nport = 0\n"
           "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 100\nmodbus = 0\n";
}

struct ModbusDeleter {
    void operator()(modbus_t* modbus) const {
        modbus_close(modbus);
        modbus_free(modbus);
    }
};

// Input register 0 as a client reads it: its value, or the Modbus
// exception code (negated) the gateway answered with.
int ReadLevel(int port) {
    std::unique_ptr<modbus_t, ModbusDeleter> client(modbus_new_tcp("127.0.0.1", port));
    if (!client || modbus_connect(client.get()) != 0) return -1000;
    std::uint16_t value = 0;
    if (modbus_read_input_registers(client.get(), 0, 1, &value) == 1) return value;
    return errno > MODBUS_ENOBASE ? -(errno - MODBUS_ENOBASE) : -1000;
}

int HealthStatus(int port) {
    httplib::Client client("127.0.0.1", port);
    const auto reply = client.Get("/healthz");
    return reply ? reply->status : -1;
}

TEST(ServiceNotify, ReadyOnceModbusListensPetsWhileTheScanRunsAndStoppingOnSigterm) {
    kel::jwsim::Simulator simulator {{.baud = 9600}};
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    NotifySocket systemd;
    ASSERT_TRUE(systemd.ready());
    GatewayProcess gateway(Configuration(simulator.devicePath(), 200));

    ASSERT_TRUE(systemd.WaitFor("READY=1")) << gateway.Log();
    // Ready means served: the Modbus port takes a client at once.
    const int port = gateway.ModbusPort(milliseconds(0));
    ASSERT_GT(port, 0) << gateway.Log();
    const int client = ConnectRaw(port);
    EXPECT_GE(client, 0);
    close(client);

    // A pet every half interval while the scan runs.
    EXPECT_GE(systemd.CountWithin("WATCHDOG=1", 4 * kWatchdog), 6u) << gateway.Log();

    kill(gateway.pid(), SIGTERM);
    EXPECT_TRUE(systemd.WaitFor("STOPPING=1")) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, kPatience), 0) << gateway.Log();
}

TEST(ServiceNotify, AScanHeldInOneExchangeStopsThePetting) {
    // A line nobody answers and a minute's link timeout: the scan thread
    // sits in its first exchange, as a hung device would hold it.
    int master = -1;
    int slave = -1;
    char name[64] = {};
    ASSERT_EQ(openpty(&master, &slave, name, nullptr, nullptr), 0);
    close(slave);
    NotifySocket systemd;
    ASSERT_TRUE(systemd.ready());
    GatewayProcess gateway(Configuration(name, 60000));
    ASSERT_TRUE(systemd.WaitFor("READY=1")) << gateway.Log();
    EXPECT_TRUE(gateway.WaitForLog("watchdog: its interval (1000 ms) is not longer", kPatience)) << gateway.Log();

    // At most the pet from before the exchange began, then silence.
    std::this_thread::sleep_for(kWatchdog / 2);
    EXPECT_EQ(systemd.CountWithin("WATCHDOG=1", 3 * kWatchdog), 0u) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, kPatience), 0) << gateway.Log();
    close(master);
}

TEST(ServiceNotify, APortMissingAtStartIsServedBadAndOpenedWhenItsDeviceAppears) {
    ScratchDirectory directory;
    const std::string link = directory.path() + "/ttyUSB9";  // not there yet
    // --check never opens the port: a missing one is no error of the file.
    const std::string file = directory.Write("line.toml", Configuration(link, 200));
    const RunResult check = RunProgram({JWGATE_BINARY, "--config", file, "--check"}, kPatience);
    EXPECT_EQ(check.exitCode, 0) << check.errors;

    NotifySocket systemd;
    ASSERT_TRUE(systemd.ready());
    GatewayProcess gateway(Configuration(link, 200));
    ASSERT_TRUE(systemd.WaitFor("READY=1")) << gateway.Log();
    const int modbus = gateway.ModbusPort(kPatience);
    const int http = gateway.HttpPort(kPatience);
    ASSERT_GT(modbus, 0) << gateway.Log();
    ASSERT_GT(http, 0) << gateway.Log();
    EXPECT_EQ(HealthStatus(http), 503);
    EXPECT_EQ(ReadLevel(modbus), -MODBUS_EXCEPTION_GATEWAY_TARGET);

    // The adapter enumerates: a device under the configured name.
    kel::jwsim::Simulator simulator {{.baud = 9600}};
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x2A, 0x00}); });
    std::this_thread::sleep_for(milliseconds(1500));  // a retry or two find it missing first
    ASSERT_EQ(symlink(simulator.devicePath().c_str(), link.c_str()), 0);
    int level = -1;
    for (const auto until = Clock::now() + kPatience; level != 0x2A && Clock::now() < until;) {
        std::this_thread::sleep_for(milliseconds(100));
        level = ReadLevel(modbus);
    }
    EXPECT_EQ(level, 0x2A) << gateway.Log();
    EXPECT_EQ(HealthStatus(http), 200) << gateway.Log();
    // Why it was missing, said once in the system's words, whatever the retries.
    EXPECT_EQ(gateway.TimesLogged("No such file or directory"), 1) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, kPatience), 0) << gateway.Log();
}

}  // namespace
}  // namespace jwgate::test
