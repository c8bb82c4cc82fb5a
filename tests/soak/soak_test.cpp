// Fault soak: thousands of mixed reads and writes through KelMain against the
// simulator on a pseudo-terminal, about a fifth of the replies damaged in
// every way the simulator can damage them (late ones included), some on a
// write-protected controller. A read that returns 0 must deliver what the
// item held just before or just after the call; a write that returns 0 must
// be in memory when it returns; a value the item cannot take is refused and
// changes nothing. Descriptors and resident memory must stay flat.
//
// A second, shorter run paces the simulator like a 19200-baud line, so that
// damaged replies are still arriving when their attempt has failed; there
// no more than one operation in fifty may fail.
//
// KEL_SOAK_OPS sets the number of operations (default 2000), KEL_SOAK_BAUD
// paces that run too (default 0: replies at once), KEL_SOAK_PACED_OPS sizes
// the paced run (default 300); KEL_SOAK_SEED replays a run whose seed was
// printed.
#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>

#include "kelwnsrp.h"
#include "support/quick_reply_directory.h"
#include "tools/jwsim/controller.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"

// Freed memory sits in the sanitizer's quarantine (256 MB by default) before
// it is reused, so resident memory would climb whatever the driver does.
extern "C" const char* __asan_default_options() { return "quarantine_size_mb=1"; }

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::Simulator;
using std::chrono::milliseconds;

constexpr int kTimeoutMs = 100;
constexpr long kRssSlackKb = 4 * 1024;

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(dir)) count += entry->d_name[0] != '.' ? 1 : 0;
        closedir(dir);
    }
    return count;
}

long ResidentKb() {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

// A gate and how the controller holds it. 32-bit registers are read as such
// (the cell holds the number), the others as 16-bit or digital values (the
// number in the cell's upper half): the value types' layouts are the
// end-to-end tests' business, pairing replies with requests is this one's.
struct Gate {
    std::string gas;
    std::uint32_t type = KEL_VALUE_ANALOG16;
    char kind = 'M';    // 'R' relay, 'T' relay T, 'C' timer/counter, 'M' register
    int number = 0;     // relay, timer, or first register byte
    char area = 'A';    // register area character
    int bytes = 0;      // register bytes
    int station = 1;
    GateAddress address {};
};

std::uint32_t Held(const Controller& c, const Gate& g) {
    switch (g.kind) {
        case 'R': return static_cast<std::uint32_t>(c.Relay(g.number) - '0');
        case 'T': return static_cast<std::uint32_t>(c.RtRelay(g.number) - '0');
        case 'C': {
            const auto& v = c.Timer(g.number).value;
            return static_cast<std::uint32_t>(1000 * (v[2] - '0') + 100 * (v[3] - '0') + 10 * (v[0] - '0') +
                                              (v[1] - '0'));
        }
        default: break;
    }
    std::uint32_t value = 0;
    for (int i = g.bytes - 1; i >= 0; --i) value = value << 8 | c.Register(g.area, g.number + i);
    return value;
}

// What a write of value leaves: a timer's contact, not its current value.
bool Stored(const Controller& c, const Gate& g, std::uint32_t value) {
    if (g.kind == 'C') return c.Timer(g.number).set == static_cast<char>('0' + value);
    return Held(c, g) == value;
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory_.Enter("kel-soak")) << directory_.error(); }

    void Run(long ops, std::uint32_t baud);

    std::int32_t Call(DriverState* state, std::int32_t command, void* block) {
        KelRequest request {state, command, 0, 0, block};
        return KelMain(&request);
    }

    int Uniform(int low, int high) { return std::uniform_int_distribution<int>(low, high)(rng_); }
    bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }

    Gate PickGate(int station) {
        Gate g;
        g.station = station;
        char text[16];
        switch (Uniform(0, 3)) {
            case 0:
                g.kind = 'R', g.number = Uniform(0, kel::kRelayCount - 1), g.type = KEL_VALUE_DIGITAL;
                std::snprintf(text, sizeof text, "%02oR%05o", station, g.number);
                break;
            case 1:
                g.kind = 'T', g.number = Uniform(0, kel::kRtRelayCount - 1), g.type = KEL_VALUE_DIGITAL;
                std::snprintf(text, sizeof text, "%02oRT%04o", station, g.number);
                break;
            case 2:
                g.kind = 'C', g.number = Uniform(0, kel::kTimerCount - 1);
                std::snprintf(text, sizeof text, "%02oT0%03o", station, g.number);
                break;
            default: {
                constexpr char kAreas[] = "AB0123";
                g.area = kAreas[Uniform(0, 5)];
                g.bytes = 1 << Uniform(0, 2);
                g.number = Uniform(0, Controller::RegisterAreaSize(g.area) - g.bytes);
                g.type = g.bytes == 4 ? KEL_VALUE_ANALOG32 : KEL_VALUE_ANALOG16;
                const bool file = g.area != 'A' && g.area != 'B';
                std::snprintf(text, sizeof text, file ? "%02oM%c9%03o%s" : "%02oM%c%04o%s", station, g.area,
                              g.number, g.bytes == 1 ? "B" : "");
            }
        }
        g.gas = text;
        GateCheckRequest check {g.gas.c_str(), 0, g.type, 1, 0, {}};
        EXPECT_EQ(Call(nullptr, KEL_CMD_CHECK_GATE, &check), KEL_OK) << g.gas;
        g.address = check.address;
        return g;
    }

    // About 13 % of operations queue a fault of any kind for the next
    // replies; with repeats and retries a fifth of the replies suffer.
    void MaybeFault(Simulator& simulator) {
        if (!Chance(0.13)) return;
        constexpr FaultKind kKinds[] = {FaultKind::kNoReply,  FaultKind::kWrongChecksum, FaultKind::kOtherStation,
                                        FaultKind::kErrorStatus, FaultKind::kCutShort, FaultKind::kNoHeader,
                                        FaultKind::kOverLong, FaultKind::kGarbageBefore, FaultKind::kDelay,
                                        FaultKind::kDribble};
        Fault fault = kel::jwsim::DefaultFault(kKinds[Uniform(0, 9)], Uniform(1, 3));
        if (fault.kind == FaultKind::kErrorStatus) fault.status = Chance(0.3) ? 0x10 : 0x06;
        if (fault.kind == FaultKind::kDelay) fault.delay = milliseconds(Uniform(kTimeoutMs * 3 / 2, kTimeoutMs * 6));
        if (fault.kind == FaultKind::kDribble) fault.delay = milliseconds(Uniform(1, kTimeoutMs / 3));
        if (fault.kind == FaultKind::kDelay || fault.kind == FaultKind::kDribble) fault.replies = Uniform(1, 2);
        simulator.InjectFault(fault);
        ++faults_;
    }

    kel::test_support::QuickReplyDirectory directory_;
    std::unique_ptr<Simulator> simulator_;
    std::unique_ptr<Simulator> protected_;
    std::mt19937_64 rng_;
    long faults_ = 0;
};

long FromEnvironment(const char* name, long fallback) {
    const char* text = std::getenv(name);
    return text != nullptr ? std::strtol(text, nullptr, 10) : fallback;
}

void Soak::Run(long ops, std::uint32_t baud) {
    const char* seedText = std::getenv("KEL_SOAK_SEED");
    const std::uint64_t seed = seedText != nullptr ? std::strtoull(seedText, nullptr, 10) : std::random_device {}();
    rng_.seed(seed);
    std::printf("soak: %ld operations, %s, seed %llu (KEL_SOAK_SEED replays it)\n", ops,
                baud == 0 ? "replies at once" : ("paced at " + std::to_string(baud) + " baud").c_str(),
                static_cast<unsigned long long>(seed));
    simulator_ = std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.stations = {1}, .baud = baud});
    protected_ =
        std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.stations = {2}, .protect = true, .baud = baud});

    // Two lines, one controller each: one open, one write-protected.
    Simulator* simulators[2] = {simulator_.get(), protected_.get()};
    DriverState states[2] = {};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(simulators[i]->Start()) << simulators[i]->error();
        OpenRequest open {};
        std::snprintf(open.portName, sizeof open.portName, "%s", simulators[i]->portName().c_str());
        open.enable = 1;
        open.LinkTimeout = kTimeoutMs / 10;
        open.line = {static_cast<std::uint16_t>(baud == 0 ? 38400 : baud), 8, 0, 0};
        ASSERT_EQ(Call(&states[i], KEL_CMD_OPEN, &open), KEL_OK);
    }

    std::map<std::string, long> counts;
    long failed = 0;
    std::vector<std::string> problems;
    int fdsStart = 0;
    long rssStart = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long op = 0; op < ops && problems.size() < 5; ++op) {
        if (op == ops / 10) fdsStart = OpenDescriptors(), rssStart = ResidentKb();
        const int line = Chance(0.25) ? 1 : 0;
        Simulator& simulator = *simulators[line];
        simulator.ClearRequests();  // its record of every request would grow for the whole run
        MaybeFault(simulator);
        const Gate g = PickGate(line + 1);
        const std::uint32_t before = Held(simulator.Snapshot(g.station), g);
        std::uint32_t cell = 0xA5A5A5A5u;
        GateRequest request {g.gas.c_str(), 0, g.address, g.type, 1, 0, &cell};
        const std::string what = "op " + std::to_string(op) + ": " + g.gas;

        if (Chance(0.55)) {
            const std::int32_t result = Call(&states[line], KEL_CMD_READ_GATE, &request);
            const Controller after = simulator.Snapshot(g.station);
            ++counts["reads, result " + std::to_string(result)];
            failed += result != KEL_OK;
            const std::uint32_t number = g.type == KEL_VALUE_ANALOG32 ? cell : cell >> 16;
            if (result != KEL_OK && cell != 0xA5A5A5A5u) problems.push_back(what + " failed read changed the cell");
            if (result == KEL_OK && number != before && number != Held(after, g)) {
                problems.push_back(what + " read " + std::to_string(number) + ", held " + std::to_string(before) +
                                   " then " + std::to_string(Held(after, g)));
            }
            continue;
        }
        // Now and then a value the item cannot take: refused, nothing changes.
        const bool contact = g.kind != 'M';
        const bool outOfRange = (contact || g.bytes == 1) && Chance(0.05);
        std::uint32_t value = contact ? Uniform(0, 1) : static_cast<std::uint32_t>(rng_());
        if (g.bytes == 1) value &= 0xFF;
        if (g.bytes == 2) value &= 0xFFFF;
        if (outOfRange) value = contact ? Uniform(2, 255) : Uniform(256, 0xFFFF);
        cell = g.type == KEL_VALUE_ANALOG32 ? value : value << 16;
        const std::int32_t result = Call(&states[line], KEL_CMD_WRITE_GATE, &request);
        const Controller after = simulator.Snapshot(g.station);
        ++counts[std::string(outOfRange ? "out-of-range writes" : "writes") + ", result " + std::to_string(result)];
        failed += !outOfRange && result != KEL_OK;
        if (outOfRange && (result != KEL_REFUSED || Held(after, g) != before)) {
            problems.push_back(what + " took " + std::to_string(value));
        }
        if (!outOfRange && result == KEL_OK && !Stored(after, g, value)) {
            problems.push_back(what + " write of " + std::to_string(value) + " gave 0, memory holds " +
                               std::to_string(Held(after, g)));
        }
    }
    const int fdsEnd = OpenDescriptors();
    const long rssEnd = ResidentKb();
    for (DriverState& state : states) EXPECT_EQ(Call(&state, KEL_CMD_CLOSE, nullptr), KEL_OK);

    std::printf("soak: %.1f s, %ld faults queued\n",
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), faults_);
    for (const auto& [name, count] : counts) std::printf("  %-32s %ld\n", name.c_str(), count);
    std::printf("  wrong values or unconfirmed writes %zu; descriptors %d -> %d, resident %ld -> %ld kB\n",
                problems.size(), fdsStart, fdsEnd, rssStart, rssEnd);
    for (const std::string& problem : problems) ADD_FAILURE() << problem;
    EXPECT_EQ(fdsEnd, fdsStart);
    EXPECT_LE(rssEnd - rssStart, kRssSlackKb);
    // Retries are for faults: with a fifth of the replies damaged, one
    // operation in fifty may still fail.
    std::printf("  failed operations %ld of %ld\n", failed, ops);
    EXPECT_LE(failed * 50, ops);
}

TEST_F(Soak, MixedReadsAndWritesUnderFaultsDeliverOnlyTrueValues) {
    Run(FromEnvironment("KEL_SOAK_OPS", 2000), static_cast<std::uint32_t>(FromEnvironment("KEL_SOAK_BAUD", 0)));
}

TEST_F(Soak, OnALinePacedAt19200BaudRetriesStillServe) {
    Run(FromEnvironment("KEL_SOAK_PACED_OPS", 300), 19200);
}

}  // namespace
