// jwsim: JW controllers on a serial line, for trying the driver without
// hardware. Prints the device to use, then serves until SIGINT or SIGTERM;
// SIGUSR1 saves the memory file.
#include <signal.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/common/log_level.h"
#include "tools/jwsim/command_line.h"
#include "tools/jwsim/memory_file.h"
#include "tools/jwsim/simulator.h"
#include "tools/jwsim/stepper.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitLine = 1;
constexpr int kExitMemory = 66;  // the memory file cannot be read
constexpr int kExitCannotCreate = 73;  // the step record cannot be written

using kel::tools::LogLevel;

void PrintLog(LogLevel level, const std::string& text) { kel::tools::WriteLogLine("jwsim", level, text); }

void PrintTrace(char direction, const std::string& bytes) {
    const std::string line = kel::tools::FrameLine(std::chrono::system_clock::now(), direction, kel::jwsim::Escaped(bytes));
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// The next signal, taking the steps that fall due meanwhile.
int WaitForSignal(const sigset_t& signals, kel::jwsim::Stepper& stepper) {
    using Clock = kel::jwsim::Stepper::Clock;
    for (;;) {
        const Clock::time_point due = stepper.NextDue();
        if (due == Clock::time_point::max()) {
            int signal = 0;
            sigwait(&signals, &signal);
            return signal;
        }
        const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(due - Clock::now());
        timespec wait {};
        if (left.count() > 0) {
            wait.tv_sec = static_cast<time_t>(left.count() / 1000000000);
            wait.tv_nsec = static_cast<long>(left.count() % 1000000000);
        }
        const int signal = sigtimedwait(&signals, nullptr, &wait);
        if (signal > 0) return signal;
        stepper.StepDue(Clock::now());
    }
}

bool Save(const std::string& path, const kel::jwsim::Simulator& simulator) {
    std::string error;
    if (kel::jwsim::SaveMemory(path, simulator, &error)) return true;
    PrintLog(LogLevel::kError, error);
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kel::jwsim;
    CommandLine line = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
    if (line.help) {
        std::fputs(line.usage.c_str(), stdout);
        return 0;
    }
    if (!line.error.empty()) {
        PrintLog(LogLevel::kError, line.error + " (jwsim --help lists the options)");
        return kExitUsage;
    }
    if (line.trace) line.options.trace = PrintTrace;

    // Blocked before the serving thread exists, so only sigwait sees them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    Simulator simulator(line.options);
    std::string error;
    if (!line.memoryFile.empty() && !LoadMemory(line.memoryFile, simulator, &error)) {
        PrintLog(LogLevel::kError, error);
        return kExitMemory;
    }
    for (const Fault& fault : line.faults) simulator.InjectFault(fault);
    std::FILE* record = nullptr;
    if (!line.stepRecord.empty() && (record = std::fopen(line.stepRecord.c_str(), "a")) == nullptr) {
        PrintLog(LogLevel::kError, line.stepRecord + ": " + std::strerror(errno));
        return kExitCannotCreate;
    }
    if (!simulator.Start()) {
        PrintLog(LogLevel::kError, simulator.error());
        return kExitLine;
    }
    std::printf("device %s\nport %s\nstations", simulator.devicePath().c_str(), simulator.portName().c_str());
    for (const int station : line.options.stations) std::printf(" %02o", station);
    std::printf("%s\n", line.options.protect ? "\nwrite protection on" : "");
    std::fflush(stdout);

    Stepper stepper(simulator, line.steps, record, std::chrono::milliseconds(line.stepAfterMs));
    int signal = SIGUSR1;
    while (signal == SIGUSR1) {
        signal = WaitForSignal(signals, stepper);
        if (signal == SIGUSR1 && !line.memoryFile.empty()) Save(line.memoryFile, simulator);
    }
    simulator.Stop();
    if (record != nullptr) std::fclose(record);
    const bool saved = line.memoryFile.empty() || Save(line.memoryFile, simulator);

    std::size_t bad = 0;
    const std::vector<ReceivedRequest> requests = simulator.Requests();
    for (const ReceivedRequest& request : requests) bad += request.checksumOk ? 0 : 1;
    PrintLog(LogLevel::kInfo,
             std::to_string(requests.size()) + " requests, " + std::to_string(bad) + " with a bad checksum");
    return saved ? 0 : 1;
}
