#include "tools/jwsim/command_line.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdint>

namespace kel::jwsim {
namespace {

// One or two octal digits; -1 otherwise.
int OctalStation(const std::string& text) {
    if (text.empty() || text.size() > 2) return -1;
    int station = 0;
    for (const char c : text) {
        if (c < '0' || c > '7') return -1;
        station = station * 8 + (c - '0');
    }
    return station;
}

// "KIND" or "KIND:COUNT"; an empty reason when taken.
std::string ParseFault(const std::string& text, Fault* fault) {
    const auto colon = text.find(':');
    const std::string name = text.substr(0, colon);
    const auto& names = FaultKindNames();
    const auto found = std::find_if(names.begin(), names.end(), [&](const auto& n) { return n.first == name; });
    if (found == names.end()) return "fault " + text + ": no such kind";
    int count = 1;
    if (colon != std::string::npos) {
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 6 || digits.find_first_not_of("0123456789") != std::string::npos ||
            std::stoi(digits) == 0) {
            return "fault " + text + ": COUNT must be 1 to 999999";
        }
        count = std::stoi(digits);
    }
    *fault = DefaultFault(found->second, count);
    return {};
}

std::string KindList() {
    std::string list;
    for (const auto& [name, kind] : FaultKindNames()) list += (list.empty() ? "" : ", ") + name;
    return list;
}

// The texts of the options that are checked once parsed.
struct ListedOptions {
    std::vector<std::string> stations;
    std::vector<std::string> faults;
    std::vector<std::string> steps;
};

void AddOptions(CLI::App& app, CommandLine& line, ListedOptions& listed) {
    app.add_option("--station", listed.stations, "serve station NN, written as in a gate address: octal 00 to 77 "
                                                 "(repeat for more; default 01)");
    app.add_flag("--protect", line.options.protect, "refuse SRR, SRT and WRG with status 10 until EWR 1 or 2");
    app.add_option("--baud", line.options.baud,
                   "behave as a line of N baud, 10 bits a character: a request counts as received when its last "
                   "character would have arrived, and each reply character leaves in its own slot")
        ->check(CLI::Range(50, 4000000));
    app.add_option("--device", line.options.device, "serve this serial device instead of a new pseudo-terminal");
    app.add_option("--memory", line.memoryFile,
                   "load the memory from FILE at start (GAS = VALUE lines, e.g. 01MA0100 = 0x1234) and save it "
                   "back on exit and on SIGUSR1");
    app.add_option("--fault", listed.faults, "damage the next COUNT replies (default 1), in the order given; KIND "
                                             "is one of " + KindList());
    app.add_option("--fault-rate", line.options.faultRate, "damage this share of the other replies (0 to 1), "
                                                           "each with a fault of a random kind")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--seed", line.options.seed, "seed of the random faults, to repeat a run");
    app.add_option("--step", listed.steps, "GATE:PERIOD_MS: count the gate up by one every PERIOD_MS while serving "
                                           "(repeat for more gates)");
    app.add_option("--step-record", line.stepRecord, "append each step to FILE as a line: the wall-clock time "
                                                     "in microseconds since the epoch, the gate, its new value");
    app.add_option("--step-after", line.stepAfterMs, "begin the steps MS after the start (default 0), e.g. "
                                                     "to measure a host while nothing changes first")
        ->check(CLI::Range(0u, 86400000u));
    app.add_flag("--trace", line.trace, "print every request (<) and reply (>) with a timestamp, control "
                                        "characters escaped");
}

// The stations, faults and steps from their texts; line.error says which
// one is wrong.
void TakeListed(const ListedOptions& listed, CommandLine& line) {
    std::set<int> served;
    for (const std::string& text : listed.stations) {
        const int station = OctalStation(text);
        if (station < 0) {
            line.error = "station " + text + " is not 00 to 77 (octal)";
            return;
        }
        served.insert(station);
    }
    if (!served.empty()) line.options.stations = served;
    for (const std::string& text : listed.faults) {
        Fault fault;
        line.error = ParseFault(text, &fault);
        if (!line.error.empty()) return;
        line.faults.push_back(fault);
    }
    for (const std::string& text : listed.steps) {
        StepSchedule step;
        line.error = ParseStep(text, &step);
        if (!line.error.empty()) return;
        line.steps.push_back(step);
    }
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    CLI::App app {"JW controllers on a serial line: serves a new pseudo-terminal (or --device) until SIGINT or "
                  "SIGTERM.",
                  "jwsim"};
    ListedOptions listed;
    AddOptions(app, line, listed);
    line.usage = app.help();
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        line.help = true;
        return line;
    } catch (const CLI::ParseError& e) {
        line.error = e.what();
        return line;
    }
    TakeListed(listed, line);
    return line;
}

}  // namespace kel::jwsim
