// jwsim: JW controllers on a serial line, for trying the driver without
// hardware. Prints the device to use, then serves until SIGINT or SIGTERM.
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tools/jwsim/command_line.h"
#include "tools/jwsim/simulator.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitLine = 1;

void PrintTrace(char direction, const std::string& bytes) {
    std::printf("%c %s\n", direction, kel::jwsim::Escaped(bytes).c_str());
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kel::jwsim;
    CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!line.error.empty()) {
        std::fprintf(stderr, "jwsim: %s\n%s", line.error.c_str(), kUsage);
        return kExitUsage;
    }
    if (line.trace) line.options.trace = PrintTrace;

    // Blocked before the serving thread exists, so only sigwait sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Simulator simulator(line.options);
    if (!simulator.Start()) {
        std::fprintf(stderr, "jwsim: %s\n", simulator.error().c_str());
        return kExitLine;
    }
    std::printf("device %s\nport %s\nstations", simulator.devicePath().c_str(), simulator.portName().c_str());
    for (const int station : line.options.stations) std::printf(" %02o", station);
    std::printf("%s\n", line.options.protect ? "\nwrite protection on" : "");
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    simulator.Stop();

    std::size_t bad = 0;
    const std::vector<ReceivedRequest> requests = simulator.Requests();
    for (const ReceivedRequest& request : requests) bad += request.checksumOk ? 0 : 1;
    std::fprintf(stderr, "jwsim: %zu requests, %zu with a bad checksum\n", requests.size(), bad);
    return 0;
}
