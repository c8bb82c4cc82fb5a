// What the scan planner wins on a slow line: 64 consecutive 16-bit registers
// and 32 relays of one station, read against the simulator paced at 9600
// baud (jwsim --baud), once as the planner's exchanges and once with one
// exchange per point, each against the wire time of its exchanges. The
// reads go through the link functions the gateway's scan uses. A report, not
// a test: the figures depend on the machine.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/link_context.h"
#include "link/read_item.h"
#include "link/read_range.h"
#include "serial/serial_port.h"
#include "tools/jwgate/line/scan_planner.h"
#include "tools/jwsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::uint32_t kBaud = 9600;
constexpr double kBitsPerCharacter = 10;

std::vector<jwgate::PlanItem> Points() {
    std::vector<jwgate::PlanItem> items;
    for (int i = 0; i < 64; ++i) items.push_back({{1, kel::kAreaMA, 0100 + 2 * i, 2}, i});
    for (int i = 0; i < 32; ++i) items.push_back({{1, kel::kAreaR, i, 0}, 64 + i});
    return items;
}

// One planned read on the line; false if it failed.
bool Execute(kel::LinkContext& line, const jwgate::PlannedRead& read) {
    if (read.isRange) {
        kel::RangeValues values;
        return kel::ReadRange(line, read.range, &values) == kel::kLinkOk;
    }
    std::int32_t value = 0;
    bool delivered = false;
    return kel::ReadItem(line, read.item, &value, &delivered) == kel::kLinkOk;
}

struct Figures {
    std::size_t exchanges = 0;
    double scanMs = 0;
    double wireMs = 0;
    int failures = 0;
};

Figures Measure(kel::LinkContext& line, const std::vector<jwgate::PlannedRead>& reads, int scans) {
    Figures figures;
    figures.exchanges = reads.size();
    int characters = 0;
    for (const jwgate::PlannedRead& read : reads) characters += jwgate::WireCharacters(read);
    figures.wireMs = 1000.0 * characters * kBitsPerCharacter / kBaud;
    const Clock::time_point start = Clock::now();
    for (int scan = 0; scan < scans; ++scan) {
        for (const jwgate::PlannedRead& read : reads) figures.failures += Execute(line, read) ? 0 : 1;
    }
    figures.scanMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count() / scans;
    return figures;
}

// Every point read by an exchange of its own.
std::vector<jwgate::PlannedRead> OnePerPoint(const std::vector<jwgate::PlanItem>& items) {
    std::vector<jwgate::PlannedRead> reads;
    for (const jwgate::PlanItem& item : items) {
        jwgate::PlannedRead read;
        read.isRange = false;
        read.item = item.item;
        read.owners = {item.owner};
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

    const std::vector<jwgate::PlanItem> items = Points();
    std::printf("64 consecutive 16-bit registers (MA0100 on) and 32 relays (R00000 to R00037) of station 01,\n"
                "jwsim paced at %u baud (10 bits a character), WAITINGTIME 0, %d full scans each\n\n", kBaud, scans);
    const Figures runs64 = Measure(line, jwgate::PlanReads(items, {64, 16}), scans);
    const Figures runs289 = Measure(line, jwgate::PlanReads(items, {kel::kMaxRegisterRun, 16}), scans);
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
