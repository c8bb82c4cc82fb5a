// What the scan planner wins on a slow line: 64 consecutive 16-bit registers
// and 32 relays of one station, read against the simulator paced at 9600
// baud (jwsim --baud), once as the planner's exchanges and once with one
// exchange per point, each against the wire time of its exchanges. The
// reads go through the executor of a plan the gateway's scan uses. A report,
// not a test: the figures depend on the machine.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/link_context.h"
#include "scan/plan_executor.h"
#include "scan/scan_planner.h"
#include "serial/serial_port.h"
#include "tools/jwsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBaud = 9600;
constexpr double kBitsPerCharacter = 10;

using kel::scan::PlanItem;
using kel::scan::PlannedRead;

std::vector<PlanItem> Points() {
    std::vector<PlanItem> items;
    for (int i = 0; i < 64; ++i) items.push_back({{1, kel::kAreaMA, 0100 + 2 * i, 2}, i});
    for (int i = 0; i < 32; ++i) items.push_back({{1, kel::kAreaR, i, 0}, 64 + i});
    return items;
}

// Counts the reads of a plan that failed; every read gets its five attempts.
class FailureCount final : public kel::scan::PlanVisitor {
public:
    kel::scan::ReadTurn BeforeRead(const PlannedRead&) override { return {}; }
    void OnItem(const PlanItem&, kel::scan::ItemOutcome) override {}
    bool AfterRead(const PlannedRead&, int result) override {
        failures += result != kel::kLinkOk ? 1 : 0;
        return true;
    }

    int failures = 0;
};

struct Figures {
    std::size_t exchanges = 0;
    double scanMs = 0;
    double wireMs = 0;
    int failures = 0;
};

Figures Measure(kel::LinkContext& line, const std::vector<PlannedRead>& reads, int scans) {
    Figures figures;
    figures.exchanges = reads.size();
    int characters = 0;
    for (const PlannedRead& read : reads) characters += kel::scan::WireCharacters(read);
    figures.wireMs = 1000.0 * characters * kBitsPerCharacter / kBaud;
    const Clock::time_point start = Clock::now();
    FailureCount count;
    for (int scan = 0; scan < scans; ++scan) kel::scan::ExecutePlan(line, reads, count);
    figures.failures = count.failures;
    figures.scanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / scans;
    return figures;
}

// Every point read by an exchange of its own.
std::vector<PlannedRead> OnePerPoint(const std::vector<PlanItem>& items) {
    std::vector<PlannedRead> reads;
    for (const PlanItem& item : items) {
        PlannedRead read;
        read.isRange = false;
        read.item = item.item;
        read.items = {item};
        reads.push_back(read);
    }
    return reads;
}

void Print(const char* what, const Figures& f) {
    std::printf("%-34s %3zu exchanges  %8.1f ms a scan  wire %7.1f ms  ratio %.3f  failures %d\n", what, f.exchanges,
                f.scanMs, f.wireMs, f.scanMs / f.wireMs, f.failures);
}

}  // namespace

int main(int argc, char** argv) {
    const int scans = argc > 1 ? std::atoi(argv[1]) : 10;
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = kBaud});
    if (!simulator.Start()) {
        std::fprintf(stderr, "gateway_bench: %s\n", simulator.error().c_str());
        return 1;
    }
    const kel::LineParameters parameters {kBaud, 8, 0, 0};
    // A stop flag, as the gateway's scan thread has: its reads wait for the
    // rest of a reply of known length instead of waking for each piece.
    std::atomic<bool> stop {false};
    kel::LinkContext line({.baudRate = kBaud}, {.stop = argc > 2 ? nullptr : &stop});  // WAITINGTIME 0
    kel::PortHandle port = nullptr;
    if (kel::OpenPort(simulator.portName().c_str(), &parameters, 8, &port) != kel::kSerialOk) {
        std::fprintf(stderr, "gateway_bench: cannot open %s\n", simulator.portName().c_str());
        return 1;
    }
    kel::AttachPort(line, port, 100);

    const std::vector<PlanItem> items = Points();
    std::printf("64 consecutive 16-bit registers (MA0100 on) and 32 relays (R00000 to R00037) of station 01,\n"
                "jwsim paced at %u baud (10 bits a character), WAITINGTIME 0, %d full scans each\n\n", kBaud, scans);
    const Figures runs64 = Measure(line, kel::scan::PlanReads(items, {64, 16}), scans);
    const Figures runs289 = Measure(line, kel::scan::PlanReads(items, {kel::kMaxRegisterRun, 16}), scans);
    const Figures single = Measure(line, OnePerPoint(items), scans);
    Print("planned, runs of 64 bytes (default)", runs64);
    Print("planned, runs of 289 bytes", runs289);
    Print("one exchange per point", single);
    std::printf("\none exchange per point / planned: %.1fx (runs of 64), %.1fx (runs of 289)\n",
                single.scanMs / runs64.scanMs, single.scanMs / runs289.scanMs);
    kel::ClosePort(line.state.port);
    simulator.Stop();
    return 0;
}
