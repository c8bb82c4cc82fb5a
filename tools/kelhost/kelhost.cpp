// kelhost: a command-line host for the driver, for checking a line, its
// stations and gate addresses. It loads the driver by file name as a
// supervisory host does and drives it through KelMain only:
//   kelhost info
//   kelhost check 01MA0100 01R00001
//   kelhost read --port ttyUSB0 01MA0100..01MA0117 01M09000:32
//   kelhost write --port ttyUSB0 01MA0100=0x1234 01R00001=1
//   kelhost poll --port ttyUSB0 --interval 500 --count 10 --csv 01T0005
//   kelhost script            (one command a line on stdin; the tests use it)
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "teskar.h"
#include "tools/common/line_defaults.h"
#include "tools/common/link_timeout.h"
#include "tools/common/log_level.h"
#include "tools/kelhost/driver_library.h"
#include "tools/kelhost/frame_trace.h"
#include "tools/kelhost/gate_kind.h"
#include "tools/kelhost/gate_range.h"
#include "tools/kelhost/host_session.h"
#include "tools/kelhost/poll_statistics.h"
#include "tools/kelhost/report.h"

namespace {

using kelhost::GateKind;
using kelhost::HostSession;
using kelhost::OperationRecord;
using kelhost::Outcome;
using kelhost::ReportFormat;
using Clock = std::chrono::steady_clock;
using kel::tools::LogLevel;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 64;
constexpr int kExitNoDriver = 69;
constexpr int kExitLine = 74;
constexpr int kExitInterrupted = 130;

constexpr char kExitCodes[] =
    "Exit codes: 0 all done; 1 a gate was refused or a read or write failed; 64 usage error (bad option,\n"
    "gate list or value: nothing was sent); 69 driver library not loadable; 74 port not opened;\n"
    "130 interrupted (a poll ends normally on Ctrl-C).\n"
    "Gates: GAS[:TYPE], a range FIRST..LAST[:TYPE] of one area (gates a width apart), and for write\n"
    "GAS[:TYPE]=VALUE. TYPE is relay, 8, 16, 32 or float (default: relay for R gates, 8 for a register\n"
    "written with a trailing B, 16 otherwise). Values are decimal or 0x hexadecimal. A relay, and a\n"
    "timer or counter contact, takes 0 or 1; an 8-bit register 0 to 255, a 16-bit one 0 to 65535, a\n"
    "32-bit one 0 to 4294967295, and each also takes negative values down to -128, -32768 and\n"
    "-2147483648 as two's complement. A float gate takes a finite whole number in the 32-bit range.\n"
    "Messages go to standard error as 'kelhost: LEVEL: TEXT' (error, warning, info, debug; the driver's\n"
    "as warnings, its write-reply messages as debug); results to standard output.";

// Listed in the order of the platform's codes, which the driver takes.
const std::vector<std::string> kParities = {"none", "odd", "even", "mark", "space"};
const std::vector<std::string> kStopBits = {"1", "1.5", "2"};

uint16_t CodeOf(const std::vector<std::string>& names, const std::string& name) {
    return static_cast<uint16_t>(std::find(names.begin(), names.end(), name) - names.begin());
}

volatile std::sig_atomic_t gStopRequested = 0;
void RequestStop(int) { gStopRequested = 1; }

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LineOptions {
    std::string port;
    int baud = static_cast<int>(kel::tools::kDefaultBaud);
    int dataBits = kel::tools::kDefaultDataBits;
    std::string parity = kel::tools::kDefaultParity;
    std::string stopBits = std::to_string(kel::tools::kDefaultStopBits);
    int timeoutMs = 1000;
};

struct Options {
    std::string library;
    bool trace = false;
    bool verbose = false;
    bool json = false;
    bool csv = false;
    std::string type = "auto";
    std::vector<std::string> gates;
    LineOptions line;
    int intervalMs = 1000;
    int count = 0;
};

// One gate as the command line names it, checked by the driver.
struct Gate {
    std::string gas;
    GateKind kind = GateKind::kRelay;  // as resolved for the gate
    GateAddress address {};
    int64_t writeValue = 0;
};

void PrintError(const std::string& text) { kel::tools::WriteLogLine("kelhost", LogLevel::kError, text); }

// The driver's messages are shown up to this level: its warnings (every
// problem) always, its info (the lifecycle notes of a healthy run) and debug
// with --verbose; tools/common/log_level.h says which message is which.
LogLevel g_shownLevel = LogLevel::kWarning;

void PrintDriverMessage(int level, const char* text) {
    const LogLevel shown = kel::tools::LevelOfHostLog(level, text);
    if (static_cast<int>(shown) <= static_cast<int>(g_shownLevel)) kel::tools::WriteLogLine("kelhost", shown, text);
}

std::vector<std::string> MessagesOf(const Outcome& outcome) {
    std::vector<std::string> texts;
    for (const kelhost::LogLine& log : outcome.logs) texts.push_back(log.text);
    return texts;
}

OperationRecord NewRecord(const char* operation, const std::string& gas, GateKind kind) {
    OperationRecord record;
    record.operation = operation;
    record.gate = gas;
    record.type = kel::tools::GateKindName(kind);
    return record;
}

double MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::string DescribeAddress(const GateAddress& a) {
    static const char* const kAreas[] = {"R", "RT", "?", "T", "MA", "MB", "M09", "M19", "M29", "M39"};
    const char* area = a.areaKind >= 0 && a.areaKind <= AreaM39 ? kAreas[a.areaKind] : "?";
    const int digits = a.areaKind == AreaR ? 5 : a.areaKind >= AreaM09 ? 3 : 4;
    char text[96];
    std::snprintf(text, sizeof text, "station %02o, area %s, item %0*o (octal)", static_cast<unsigned>(a.station) & 077u,
                  area, digits, static_cast<unsigned>(a.address));
    std::string described = text;
    if (a.widthBits != 0 && a.areaKind >= AreaMA) described += ", " + std::to_string(a.widthBits) + " bits";
    return described;
}

// Items between two gates of a range: a register gate's bytes, one otherwise.
int StepOf(GateKind kind, const GateAddress& address) {
    if (address.areaKind < AreaMA) return 1;
    return address.widthBits == 32 || kind == GateKind::kFloat || kind == GateKind::kBits32 ? 4
           : address.widthBits == 8                                                        ? 1
                                                                                           : 2;
}

class Host {
public:
    Host(const kelhost::DriverLibrary& driver, const Options& options, ReportFormat format, bool withTime)
        : session_(driver), options_(options), report_(format, withTime, stdout) {}

    // Checks every gate of the command line: a usage error for a malformed
    // list or value, false when the driver refused a gate (reported).
    bool PrepareGates(bool forWrite, std::vector<Gate>* gates);
    int RunCheck();
    int RunRead();
    int RunWrite(const std::vector<Gate>& gates);
    int RunPoll(ReportFormat format);

private:
    bool Check(const std::string& gas, std::optional<GateKind> kind, Gate* gate);
    bool OpenLine();
    void CloseLine() { session_.Close(); }
    OperationRecord Read(const Gate& gate);

    HostSession session_;
    const Options& options_;
    bool reportChecks_ = false;  // check reports every gate, the others only refusals
    kelhost::Report report_;
};

bool Host::Check(const std::string& gas, std::optional<GateKind> kind, Gate* gate) {
    gate->gas = gas;
    gate->kind = kelhost::ResolveKind(kind, gas);
    const auto start = Clock::now();
    const Outcome checked = session_.CheckGate(gas, kel::tools::CheckType(gate->kind));
    gate->address = checked.address;
    if (checked.result == KEL_OK) {
        const std::string mismatch = kel::tools::KindMismatch(gate->kind, gas, checked.address);
        if (!mismatch.empty()) throw UsageError(mismatch);
    }
    if (checked.result == KEL_OK && !reportChecks_) return true;
    OperationRecord record = NewRecord("check", gas, gate->kind);
    record.result = checked.result;
    record.milliseconds = MillisecondsSince(start);
    record.when = std::chrono::system_clock::now();
    record.messages = MessagesOf(checked);
    if (checked.result == KEL_OK) {
        record.detail = DescribeAddress(checked.address);
    } else {
        record.detail = checked.logs.empty() ? "refused by the driver's check (a character out of place)"
                                             : checked.logs.back().text;
    }
    report_.Add(record);
    return checked.result == KEL_OK;
}

bool Host::PrepareGates(bool forWrite, std::vector<Gate>* gates) {
    std::optional<GateKind> defaultKind;
    if (!kelhost::ParseKindOption(options_.type, &defaultKind)) {
        throw UsageError("--type " + options_.type + ": expected auto, " + kel::tools::kGateKindNames);
    }
    bool allAccepted = true;
    for (std::string argument : options_.gates) {
        std::string valueText;
        if (forWrite) {
            const auto equals = argument.find('=');
            if (equals == std::string::npos) throw UsageError(argument + ": write takes GAS=VALUE");
            valueText = argument.substr(equals + 1);
            argument.resize(equals);
        }
        std::optional<GateKind> kind = defaultKind;
        if (const auto colon = argument.find(':'); colon != std::string::npos) {
            if (!kelhost::ParseKindOption(argument.substr(colon + 1), &kind)) {
                throw UsageError(kel::tools::UnknownGateKind(argument));
            }
            argument.resize(colon);
        }
        std::vector<std::string> names;
        std::string first, last;
        if (kelhost::SplitRange(argument, &first, &last)) {
            // The ends are reported only when refused: their gates follow.
            Gate from, to;
            const bool reportChecks = reportChecks_;
            reportChecks_ = false;
            const bool endsAccepted = Check(first, kind, &from) && Check(last, kind, &to);
            reportChecks_ = reportChecks;
            if (!endsAccepted) {
                allAccepted = false;
                continue;
            }
            std::string why;
            const bool byteMark = from.address.widthBits == 8 && from.address.areaKind >= AreaMA;
            if (!kelhost::ExpandRange(from.address, to.address, StepOf(from.kind, from.address), byteMark, &names,
                                      &why)) {
                throw UsageError(argument + ": " + why);
            }
        } else {
            names.push_back(argument);
        }
        for (const std::string& gas : names) {
            Gate gate;
            if (!Check(gas, kind, &gate)) {
                allAccepted = false;
                continue;
            }
            std::string why;
            if (forWrite && !kelhost::ParseWriteValue(valueText, gate.kind, gate.address, &gate.writeValue, &why)) {
                throw UsageError(gas + "=" + valueText + ": " + why + "; nothing was sent");
            }
            gates->push_back(gate);
        }
    }
    return allAccepted;
}

int Host::RunCheck() {
    reportChecks_ = true;
    std::vector<Gate> gates;
    return PrepareGates(false, &gates) ? 0 : kExitFailed;
}

bool Host::OpenLine() {
    const LineOptions& line = options_.line;
    const LineSettings settings {static_cast<uint16_t>(line.baud), static_cast<uint16_t>(line.dataBits),
                                 CodeOf(kStopBits, line.stopBits), CodeOf(kParities, line.parity)};
    const uint32_t units = kel::tools::LinkTimeoutUnits(static_cast<uint32_t>(line.timeoutMs));
    const Outcome opened = session_.Open(line.port, settings, units);
    if (opened.result == KEL_OK) return true;
    PrintError("port " + line.port + " not opened (result " + std::to_string(opened.result) + ")");
    return false;
}

OperationRecord Host::Read(const Gate& gate) {
    OperationRecord record = NewRecord("read", gate.gas, gate.kind);
    const auto start = Clock::now();
    const Outcome read = session_.ReadGate(gate.gas, gate.address, kel::tools::ValueType(gate.kind));
    record.milliseconds = MillisecondsSince(start);
    record.when = std::chrono::system_clock::now();
    record.result = read.result;
    if (read.result == KEL_OK) record.value = read.value;
    record.messages = MessagesOf(read);
    return record;
}

int Host::RunRead() {
    std::vector<Gate> gates;
    if (!PrepareGates(false, &gates)) return kExitFailed;
    if (!OpenLine()) return kExitLine;
    int failed = 0;
    for (const Gate& gate : gates) {
        if (gStopRequested) break;
        const OperationRecord record = Read(gate);
        failed += record.result != KEL_OK ? 1 : 0;
        report_.Add(record);
    }
    CloseLine();
    return gStopRequested ? kExitInterrupted : failed == 0 ? 0 : kExitFailed;
}

int Host::RunWrite(const std::vector<Gate>& gates) {
    if (!OpenLine()) return kExitLine;
    int failed = 0;
    for (const Gate& gate : gates) {
        if (gStopRequested) break;
        OperationRecord record = NewRecord("write", gate.gas, gate.kind);
        // The driver writes whole numbers only; a float gate is written as the
        // 32-bit register it is checked as.
        const uint32_t type = kel::tools::CheckType(gate.kind);
        const auto start = Clock::now();
        const Outcome written = session_.WriteGate(gate.gas, gate.address, type, gate.writeValue);
        record.milliseconds = MillisecondsSince(start);
        record.when = std::chrono::system_clock::now();
        record.result = written.result;
        record.value = static_cast<double>(gate.writeValue);
        record.messages = MessagesOf(written);
        failed += written.result != KEL_OK ? 1 : 0;
        report_.Add(record);
    }
    CloseLine();
    return gStopRequested ? kExitInterrupted : failed == 0 ? 0 : kExitFailed;
}

// Waits until the time, or a stop request, whichever comes first.
void SleepUntil(Clock::time_point at) {
    while (!gStopRequested && Clock::now() < at) {
        std::this_thread::sleep_for(std::min<Clock::duration>(at - Clock::now(), std::chrono::milliseconds(50)));
    }
}

int Host::RunPoll(ReportFormat format) {
    std::vector<Gate> gates;
    if (!PrepareGates(false, &gates)) return kExitFailed;
    if (!OpenLine()) return kExitLine;
    kelhost::PollStatistics statistics;
    auto scanStart = Clock::now();
    for (int scan = 0; !gStopRequested && (options_.count == 0 || scan < options_.count); ++scan) {
        if (scan > 0) {
            scanStart += std::chrono::milliseconds(options_.intervalMs);
            if (scanStart < Clock::now()) scanStart = Clock::now();  // a slow scan delays, never bunches
            SleepUntil(scanStart);
        }
        for (const Gate& gate : gates) {
            if (gStopRequested) break;
            const OperationRecord record = Read(gate);
            statistics.Add(record.result, record.milliseconds);
            report_.Add(record);
        }
    }
    CloseLine();
    // CSV stays one table; its statistics go to people on standard error.
    statistics.Print(format, format == ReportFormat::Csv ? stderr : stdout);
    return statistics.failures() == 0 ? 0 : kExitFailed;
}

// The banner is code page 437; show its box characters on a UTF-8 terminal.
std::string Cp437ToUtf8(const char* text) {
    static const std::map<unsigned char, const char*> kBoxes = {
        {0xC9, "\u2554"}, {0xCD, "\u2550"}, {0xBB, "\u2557"}, {0xBA, "\u2551"}, {0xC8, "\u255A"},
        {0xBC, "\u255D"}, {0xDB, "\u2588"}, {0xB2, "\u2593"}, {0xB1, "\u2592"}, {0xB0, "\u2591"}};
    std::string out;
    for (const char* p = text; p != nullptr && *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        const auto box = kBoxes.find(c);
        out += box != kBoxes.end() ? box->second : c < 0x80 ? std::string(1, *p) : std::string("?");
    }
    return out;
}

int RunInfo(const kelhost::DriverLibrary& driver, bool json) {
    DriverState scratch {};
    DriverInfo info {};
    driver.Call(&scratch, KEL_CMD_DRIVER_INFO, &info);
    const LineSettings& line = info.defaultLine;
    const std::string stop = line.stopBits < kStopBits.size() ? kStopBits[line.stopBits] : "?";
    const std::string parity = line.parity < kParities.size() ? kParities[line.parity] : "?";
    const std::string name = info.name != nullptr ? info.name : "";
    if (json) {
        const nlohmann::json out = {{"name", name},
                                    {"banner", Cp437ToUtf8(info.banner)},
                                    {"baud", line.baudRate},
                                    {"data_bits", line.dataBits},
                                    {"stop_bits", stop},
                                    {"parity", parity},
                                    {"timeout_ms", 1000}};
        std::printf("%s\n", out.dump().c_str());
    } else {
        std::printf("driver \"%s\"\n%s\n", name.c_str(), Cp437ToUtf8(info.banner).c_str());
        std::printf("defaults: %u baud, %u data bits, %s stop bit(s), parity %s, link timeout 1000 ms\n",
                    line.baudRate, line.dataBits, stop.c_str(), parity.c_str());
    }
    return 0;
}

int RunScript(HostSession& session) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line == "quit") break;
        const Outcome outcome = session.Run(line);
        for (const kelhost::LogLine& log : outcome.logs) std::printf("log %d %s\n", log.level, log.text.c_str());
        std::printf("result %d %s\n", outcome.result, outcome.detail.c_str());
        std::fflush(stdout);
    }
    return 0;
}

void AddLineOptions(CLI::App* command, LineOptions* line) {
    command->add_option("--port", line->port, "port name, at most 11 characters (COM1, ttyUSB0, pts/3)")
        ->required()
        ->check([](const std::string& name) {
            return name.empty() || name.size() >= KEL_PORT_NAME_SIZE ? "a port name has 1 to 11 characters"
                                                                      : "";
        });
    command->add_option("--baud", line->baud, "baud rate (default 9600)")->check(CLI::Range(50, 65535));
    command->add_option("--data-bits", line->dataBits, "data bits, 5 to 8 (default 7)")->check(CLI::Range(5, 8));
    command->add_option("--parity", line->parity, "none, odd, even, mark or space (default none)")
        ->check(CLI::IsMember(kParities));
    command->add_option("--stop-bits", line->stopBits, "1, 1.5 or 2 (default 1)")->check(CLI::IsMember(kStopBits));
    command->add_option("--timeout", line->timeoutMs,
                        "how long to wait for a reply, in ms, 10 to 600000 (default 1000; taken in steps of 10 ms)")
        ->check(CLI::Range(10, 600000));
}

void AddGateOptions(CLI::App* command, Options* options, const std::string& what) {
    command->add_option("gates", options->gates, what)->required();
    command->add_option("--type", options->type, "type of every gate without its own :TYPE (default auto)")
        ->check(CLI::IsMember({"auto", "relay", "8", "16", "32", "float"}));
    command->add_flag("--json", options->json, "one JSON object a line for each operation");
}

// The sub-commands, as main parsed them: exactly one is set.
struct Commands {
    CLI::App* info;
    CLI::App* check;
    CLI::App* read;
    CLI::App* write;
    CLI::App* poll;
    CLI::App* script;
};

Commands AddCommands(CLI::App& app, Options* options) {
    app.add_option("--library", options->library, "driver library (default: the one beside kelhost, else on Linux the installed libkelwnsrp.so)");
    app.add_flag("--trace", options->trace,
                 "show every frame on the line on standard error, timed to the millisecond: '<' to the "
                 "controller, '>' from it, control characters escaped");
    app.add_flag("-v,--verbose", options->verbose,
                 "also show the driver's notes (info: loaded, which configuration file it read) and its "
                 "write-reply detail (debug); its warnings show without it");
    Commands commands {};
    commands.info = app.add_subcommand("info", "show the driver's banner and default line settings");
    commands.info->add_flag("--json", options->json, "as one JSON object");
    commands.check = app.add_subcommand("check", "check gate addresses as the SCADA host does, without a line");
    AddGateOptions(commands.check, options, "GAS[:TYPE] or FIRST..LAST[:TYPE]");
    commands.read = app.add_subcommand("read", "read gates once");
    AddGateOptions(commands.read, options, "GAS[:TYPE] or FIRST..LAST[:TYPE]");
    AddLineOptions(commands.read, &options->line);
    commands.write = app.add_subcommand("write", "write values into gates; every value is checked first");
    AddGateOptions(commands.write, options, "GAS[:TYPE]=VALUE or FIRST..LAST[:TYPE]=VALUE");
    AddLineOptions(commands.write, &options->line);
    CLI::App* poll = commands.poll =
        app.add_subcommand("poll", "read gates again and again; statistics at the end (or Ctrl-C)");
    AddGateOptions(poll, options, "GAS[:TYPE] or FIRST..LAST[:TYPE]");
    AddLineOptions(poll, &options->line);
    poll->add_option("--interval", options->intervalMs, "ms from the start of one scan to the next (default 1000)")
        ->check(CLI::Range(0, 86400000));
    poll->add_option("--count", options->count, "scans, 0 for until Ctrl-C (default 0)")
        ->check(CLI::Range(0, 1000000000));
    poll->add_flag("--csv", options->csv, "one CSV row per gate per scan, with an ISO 8601 time")
        ->excludes(poll->get_option("--json"));
    commands.script = app.add_subcommand(
        "script", "run commands from standard input, one a line ('help' lists them); each answers 'log LEVEL TEXT' "
                  "lines and one 'result CODE DETAIL' line");
    return commands;
}

// Loads the driver named by the options (and its trace if asked): false
// after saying why.
bool LoadDriver(const Options& options, kelhost::DriverLibrary* driver) {
    if (!driver->Load(options.library)) {
        PrintError(driver->error());
        return false;
    }
    if (options.trace && !driver->SetTrace(&kelhost::PrintFrame, nullptr)) {
        PrintError(options.library + " has no trace of the line");
        return false;
    }
    return true;
}

// check, read, write and poll: the gates first, then the line.
int RunGateCommand(const kelhost::DriverLibrary& driver, const Options& options, const Commands& commands) {
    if (options.verbose) g_shownLevel = LogLevel::kDebug;
    teskar_set_listener(&PrintDriverMessage);
    std::signal(SIGINT, RequestStop);
    std::signal(SIGTERM, RequestStop);
    const ReportFormat format = options.json ? ReportFormat::Json : options.csv ? ReportFormat::Csv
                                                                                : ReportFormat::Table;
    Host host(driver, options, format, static_cast<bool>(*commands.poll));
    try {
        if (*commands.check) return host.RunCheck();
        if (*commands.read) return host.RunRead();
        if (*commands.poll) return host.RunPoll(format);
        // Every gate and value is checked before the first write is sent.
        std::vector<Gate> gates;
        if (!host.PrepareGates(true, &gates)) return kExitFailed;
        return host.RunWrite(gates);
    } catch (const UsageError& e) {
        PrintError(e.what());
        return kExitUsage;
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    CLI::App app {"A host for the JW computer-link driver: checks, reads, writes and polls gates of the "
                  "controllers through the driver, as a supervisory host does.",
                  "kelhost"};
    app.fallthrough();
    app.require_subcommand(1, 1);
    app.footer(kExitCodes);
    const Commands commands = AddCommands(app, &options);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        PrintError(std::string(e.what()) + " (see kelhost --help)");
        return kExitUsage;
    }

    if (options.library.empty()) options.library = kelhost::DriverLibrary::DefaultPath(argv[0]);
    kelhost::DriverLibrary driver;
    if (!LoadDriver(options, &driver)) return kExitNoDriver;
    if (*commands.script) {
        HostSession session(driver);
        return RunScript(session);
    }
    if (*commands.info) return RunInfo(driver, options.json);
    return RunGateCommand(driver, options, commands);
}
