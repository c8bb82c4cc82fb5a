// Lines of their own on threads of their own, as the Python module and
// jwgate drive them: each thread opens, uses and closes its own port while
// the others do the same, through the serial layer on pseudo-terminal pairs
// and through the link layer on simulators. What the threads share (the
// POSIX backend's table of open ports, the active platform, the line trace,
// the host's log) must keep every line to itself and leak nothing. Built as
// a binary of its own so that ./dev.sh tsan runs it under ThreadSanitizer.
#include <gtest/gtest.h>

#include <dirent.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/host_log.h"
#include "host/line_trace.h"
#include "link/link_context.h"
#include "link/read_item.h"
#include "link/write_item.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"
#include "tools/jwsim/simulator.h"

namespace kel {
namespace {

using std::chrono::milliseconds;
using test::PtyPair;

constexpr int kThreads = 4;
constexpr milliseconds kArrival {2000};
const LineParameters k9600_8N1 {9600, 8, 0, 0};

// The descriptors this process holds now.
int OpenDescriptors() {
    DIR* folder = opendir("/proc/self/fd");
    if (folder == nullptr) return -1;
    int count = 0;
    while (readdir(folder) != nullptr) ++count;
    closedir(folder);
    return count;
}

// What went wrong on the threads, counted here, outside them; the first few
// kept to be shown.
class Failures {
public:
    void Add(const std::string& what) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (++count_ <= 5) first_ += what + "\n";
    }
    int count() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return count_;
    }
    std::string first() const {
        const std::lock_guard<std::mutex> lock(mutex_);
        return first_;
    }

private:
    mutable std::mutex mutex_;
    int count_ = 0;
    std::string first_;
};

// Runs body(n) on kThreads threads at once and waits for them all.
template <typename Body>
void OnThreads(Body body) {
    std::vector<std::thread> threads;
    for (int n = 0; n < kThreads; ++n) threads.emplace_back(body, n);
    for (std::thread& thread : threads) thread.join();
}

// One round on a pseudo-terminal: open its slave through the layer, purge,
// send a request the far side must see unchanged, read the far side's reply
// through the layer, close. Empty when all went well, else what did not.
std::string PtyRound(const PtyPair& pty, int thread, int round) {
    PortHandle port = nullptr;
    int errorNumber = 0;
    const int opened = OpenPort(pty.path().c_str(), &k9600_8N1, 8, &port, &errorNumber);
    const std::string where = "thread " + std::to_string(thread) + " round " + std::to_string(round) + ": ";
    if (opened != kSerialOk) return where + "open " + std::to_string(opened) + " errno " + std::to_string(errorNumber);
    std::string fault;
    const std::string request = "request " + std::to_string(thread) + "." + std::to_string(round) + "\r";
    const std::string reply = "reply " + std::to_string(thread) + "." + std::to_string(round) + "\r";
    std::uint32_t written = 0;
    if (PurgeInput(port) != kSerialOk) {
        fault = "purge";
    } else if (WritePort(port, request.data(), static_cast<std::uint32_t>(request.size()), &written) != kSerialOk) {
        fault = "write";
    } else if (const auto seen = pty.ReadOnFarSide(request.size(), kArrival);
               std::string(seen.begin(), seen.end()) != request) {
        fault = "far side saw \"" + std::string(seen.begin(), seen.end()) + "\"";
    } else if (!pty.WriteFromFarSide(reply.data(), reply.size())) {
        fault = "far side write";
    } else {
        char got[64] = {};
        std::uint32_t count = 0;
        if (ReadPort(port, got, static_cast<std::uint16_t>(reply.size()), &count) != kSerialOk ||
            std::string(got, count) != reply) {
            fault = "read \"" + std::string(got, count) + "\"";
        }
    }
    const int closed = ClosePort(port);
    if (fault.empty() && closed != kSerialOk) fault = "close " + std::to_string(closed);
    return fault.empty() ? fault : where + fault;
}

TEST(SerialThreads, EachThreadOpensExchangesAndClosesItsOwnPseudoTerminal) {
    constexpr int kRounds = 200;
    UseSerialPlatform(nullptr);
    std::vector<std::unique_ptr<PtyPair>> ptys;
    for (int n = 0; n < kThreads; ++n) {
        ptys.push_back(std::make_unique<PtyPair>());
        ASSERT_TRUE(ptys.back()->ok()) << ptys.back()->error();
    }
    const int descriptors = OpenDescriptors();
    Failures failures;
    OnThreads([&](int n) {
        for (int round = 0; round < kRounds; ++round) {
            const std::string fault = PtyRound(*ptys[static_cast<std::size_t>(n)], n, round);
            if (!fault.empty()) failures.Add(fault);
        }
    });
    EXPECT_EQ(failures.count(), 0) << failures.first();
    // Every port closed as it was opened: no descriptor and no lock left.
    EXPECT_EQ(OpenDescriptors(), descriptors);
    for (const auto& pty : ptys) EXPECT_TRUE(test::DeviceIsFree(pty->path())) << pty->path();
}

// A trace set and removed from another thread meanwhile: each call comes
// with its own function's context.
struct TraceCount {
    std::atomic<int> calls {0};
    std::atomic<int> wrongContext {0};
};
TraceCount g_traceA;
TraceCount g_traceB;

void TraceA(void* context, std::int32_t, const char*, std::int32_t) {
    g_traceA.calls.fetch_add(1);
    if (context != &g_traceA) g_traceA.wrongContext.fetch_add(1);
}
void TraceB(void* context, std::int32_t, const char*, std::int32_t) {
    g_traceB.calls.fetch_add(1);
    if (context != &g_traceB) g_traceB.wrongContext.fetch_add(1);
}

std::atomic<int> g_logged {0};
int CountLog(int, const char*, ...) {
    g_logged.fetch_add(1);
    return 0;
}

// One round through the link layer: open the simulator's line, write a
// value of this round's own, read it back, close.
std::string LinkRound(const jwsim::Simulator& simulator, int thread, int round) {
    const std::string where = "thread " + std::to_string(thread) + " round " + std::to_string(round) + ": ";
    PortHandle port = nullptr;
    const int opened = OpenPort(simulator.portName().c_str(), &k9600_8N1, 8, &port);
    if (opened != kSerialOk) return where + "open " + std::to_string(opened);
    LinkContext line({.baudRate = 9600});
    AttachPort(line, port, 50);
    const Item item {1, kAreaMA, 0100, 2};
    const std::int32_t written = thread * 1000 + round;
    std::int32_t value = -1;
    bool delivered = false;
    std::string fault;
    if (WriteItem(line, item, written, "01MA0100") != kLinkOk) {
        fault = "write";
    } else if (ReadItem(line, item, &value, &delivered) != kLinkOk || !delivered || value != written) {
        fault = "read " + std::to_string(value);
    } else if (WriteItem(line, {1, kAreaMB, 0100, 1}, 256, "01MB0100B") != kLinkMismatch) {
        fault = "an 8-bit register took 256";  // logged, on this thread, while the others log too
    }
    if (ClosePort(port) != kSerialOk && fault.empty()) fault = "close";
    return fault.empty() ? fault : where + fault;
}

TEST(SerialThreads, EachThreadDrivesItsOwnLineThroughTheLinkWhileTheTraceChanges) {
    constexpr int kRounds = 50;
    UseSerialPlatform(nullptr);
    SetHostErr(&CountLog);
    std::vector<std::unique_ptr<jwsim::Simulator>> simulators;
    for (int n = 0; n < kThreads; ++n) {
        simulators.push_back(std::make_unique<jwsim::Simulator>(jwsim::SimulatorOptions {.stations = {1}}));
        ASSERT_TRUE(simulators.back()->Start()) << simulators.back()->error();
    }
    std::atomic<bool> done {false};
    std::thread meddler([&] {
        for (int i = 0; !done.load(); ++i) {
            SetLineTrace(i % 3 == 0 ? &TraceA : i % 3 == 1 ? &TraceB : nullptr,
                         i % 3 == 0 ? static_cast<void*>(&g_traceA) : &g_traceB);
            UseSerialPlatform(nullptr);
            std::this_thread::sleep_for(milliseconds(1));
        }
    });
    Failures failures;
    OnThreads([&](int n) {
        for (int round = 0; round < kRounds; ++round) {
            const std::string fault = LinkRound(*simulators[static_cast<std::size_t>(n)], n, round);
            if (!fault.empty()) failures.Add(fault);
        }
    });
    done.store(true);
    meddler.join();
    SetLineTrace(nullptr, nullptr);
    SetHostErr(nullptr);
    EXPECT_EQ(failures.count(), 0) << failures.first();
    EXPECT_EQ(g_logged.load(), kThreads * kRounds * kMaxAttempts);  // the 256, once per attempt
    EXPECT_GT(g_traceA.calls.load() + g_traceB.calls.load(), 0);
    EXPECT_EQ(g_traceA.wrongContext.load(), 0);
    EXPECT_EQ(g_traceB.wrongContext.load(), 0);
    for (std::size_t n = 0; n < simulators.size(); ++n) {
        EXPECT_EQ(simulators[n]->Payloads().size(), static_cast<std::size_t>(2 * kRounds)) << n;
    }
}

}  // namespace
}  // namespace kel
