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

struct Notice {
    std::string text;
    Clock::time_point at;
};

// The datagram socket systemd listens on, read at once as systemd reads it
// (a queue left full would hold the sender), and the environment that names
// it to the jwgate started while it lives.
class NotifySocket {
public:
    NotifySocket() {
        path_ = directory_.path() + "/notify";
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof address.sun_path - 1);
        if (bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
            return;
        }
        setenv("NOTIFY_SOCKET", path_.c_str(), 1);
        setenv("WATCHDOG_USEC", std::to_string(kWatchdog.count() * 1000).c_str(), 1);
        reader_ = std::thread([this] { Read(); });
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        stop_.store(true);
        if (reader_.joinable()) reader_.join();
        if (fd_ >= 0) close(fd_);
    }
    bool ready() const { return fd_ >= 0; }

    // Every notice that arrives within window from now.
    std::vector<Notice> Collect(milliseconds window) {
        const std::size_t first = Taken().size();
        std::this_thread::sleep_for(window);
        std::vector<Notice> all = Taken();
        return {all.begin() + static_cast<std::ptrdiff_t>(first), all.end()};
    }
    // Waits for a notice holding text; false at the patience's end.
    bool WaitFor(const std::string& text) {
        const auto until = Clock::now() + kPatience;
        while (Clock::now() < until) {
            for (const Notice& notice : Taken()) {
                if (notice.text.find(text) != std::string::npos) return true;
            }
            std::this_thread::sleep_for(milliseconds(20));
        }
        return false;
    }

private:
    void Read() {
        while (!stop_.load()) {
            pollfd ready {fd_, POLLIN, 0};
            if (poll(&ready, 1, 50) != 1) continue;
            char text[256];
            const ssize_t n = recv(fd_, text, sizeof text, 0);
            if (n < 0) continue;
            const std::lock_guard<std::mutex> lock(mutex_);
            notices_.push_back({std::string(text, static_cast<std::size_t>(n)), Clock::now()});
        }
    }
    std::vector<Notice> Taken() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return notices_;
    }

    ScratchDirectory directory_;
    std::string path_;
    int fd_ = -1;
    std::atomic<bool> stop_ {false};
    std::mutex mutex_;
    std::vector<Notice> notices_;
    std::thread reader_;
};

std::string Configuration(const std::string& port, int linkTimeoutMs) {
    return "[line]\nport = \"" + port + "\"\nlink_timeout_ms = " + std::to_string(linkTimeoutMs) +
           "\n[modbus]\nport = 0\n[http]\nport = 0\n"
           "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 100\nmodbus = 0\n";
}

std::vector<Notice> Only(const std::vector<Notice>& notices, const std::string& text) {
    std::vector<Notice> kept;
    for (const Notice& notice : notices) {
        if (notice.text == text) kept.push_back(notice);
    }
    return kept;
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

std::size_t Occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
    return count;
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

    // What systemd checks: never a whole interval without a pet.
    const std::vector<Notice> pets = Only(systemd.Collect(4 * kWatchdog), "WATCHDOG=1");
    ASSERT_GE(pets.size(), 4u) << gateway.Log();
    for (std::size_t i = 1; i < pets.size(); ++i) EXPECT_LT(pets[i].at - pets[i - 1].at, kWatchdog);

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
    systemd.Collect(kWatchdog / 2);
    EXPECT_TRUE(Only(systemd.Collect(3 * kWatchdog), "WATCHDOG=1").empty()) << gateway.Log();
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
    EXPECT_EQ(Occurrences(gateway.Log(), "No such file or directory"), 1u) << gateway.Log();
    EXPECT_EQ(gateway.Stop(SIGTERM, kPatience), 0) << gateway.Log();
}

}  // namespace
}  // namespace jwgate::test
