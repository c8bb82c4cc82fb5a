// kelhost: a command-line host for the driver. It loads the driver library by
// file name as a supervisory host does and drives it through KelMain:
//   one-shot:  kelhost --port pts/3 --read 01MA0100 --write 01R00001=1
//   polling:   ... --interval 1000 --count 10
//   script:    kelhost --script   (one command a line on stdin; see "help")
// Without a port it shows the driver information and takes a pseudo-terminal
// through the port lifecycle.
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <pty.h>
#include <unistd.h>
#endif

#include "teskar.h"
#include "tools/kelhost/driver_library.h"
#include "tools/kelhost/host_session.h"

namespace {

constexpr int kExitUsage = 64;
constexpr int kExitNoDriver = 69;
constexpr int kExitLine = 74;
constexpr int kExitPartial = 1;

struct Options {
    std::string library;
    std::string port;
    std::string line = "9600 7 0 0";
    std::string timeout = "50";
    std::vector<std::string> reads;   // GAS[:TYPE]
    std::vector<std::string> writes;  // GAS[:TYPE]=VALUE
    int intervalMs = 0;
    int count = 1;
    bool script = false;
    bool trace = false;
};

void PauseMilliseconds(int ms) {
#if defined(_WIN32)
    Sleep(static_cast<DWORD>(ms));
#else
    usleep(static_cast<useconds_t>(ms) * 1000);
#endif
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kelhost [--library PATH] [--port NAME] [--line 'BAUD DATA STOP PARITY']\n"
                 "               [--timeout UNITS] [--read GAS[:TYPE]]... [--write GAS[:TYPE]=VALUE]...\n"
                 "               [--interval MS] [--count N] [--trace] | --script\n"
                 "  --library  driver library (default: the one beside kelhost)\n"
                 "  --port     port name, at most 11 characters (COM1, ttyUSB0, pts/3, NUL)\n"
                 "  --line     line settings (default 9600 7 0 0: 7 data bits, 1 stop, no parity)\n"
                 "  --timeout  read timeout in units of 10 ms (default 50)\n"
                 "  TYPE       value type: 0 16-bit, 4 32-bit, 3 float, 6 digital (default 6 for\n"
                 "             relays, 0 otherwise)\n"
                 "  --trace    show every frame on the line on standard error, with the time:\n"
                 "             '<' to the controller, '>' from it, control characters escaped\n"
                 "  --script   read commands from standard input; each answers 'log LEVEL TEXT'\n"
                 "             lines and one 'result CODE DETAIL' line\n"
                 "exit codes: 0 all done, 1 some reads or writes failed, 64 usage, 69 no driver,\n"
                 "            74 port not opened\n");
    return kExitUsage;
}

bool ParseOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--script") {
            options->script = true;
        } else if (arg == "--trace") {
            options->trace = true;
        } else if (!hasValue) {
            return false;
        } else if (arg == "--library") {
            options->library = argv[++i];
        } else if (arg == "--port") {
            options->port = argv[++i];
        } else if (arg == "--line") {
            options->line = argv[++i];
        } else if (arg == "--timeout") {
            options->timeout = argv[++i];
        } else if (arg == "--read") {
            options->reads.push_back(argv[++i]);
        } else if (arg == "--write") {
            options->writes.push_back(argv[++i]);
        } else if (arg == "--interval") {
            options->intervalMs = std::atoi(argv[++i]);
        } else if (arg == "--count") {
            options->count = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return options->intervalMs >= 0 && options->count >= 0;
}

void PrintOutcome(const kelhost::Outcome& outcome, FILE* out) {
    for (const kelhost::LogLine& log : outcome.logs) std::fprintf(out, "log %d %s\n", log.level, log.text.c_str());
    std::fprintf(out, "result %d %s\n", outcome.result, outcome.detail.c_str());
    std::fflush(out);
}

int RunScript(kelhost::HostSession& session) {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        if (line == "quit") break;
        PrintOutcome(session.Run(line), stdout);
    }
    return 0;
}

// "GAS[:TYPE]" into the words of a session command.
std::string GateWords(const std::string& spec) {
    const auto colon = spec.find(':');
    const std::string gas = spec.substr(0, colon);
    const std::string type =
        colon == std::string::npos ? std::to_string(kelhost::DefaultGateType(gas)) : spec.substr(colon + 1);
    return gas + " " + type;
}

int RunOneShot(kelhost::HostSession& session, const Options& options) {
    const kelhost::Outcome opened = session.Run("open " + options.port + " " + options.line + " " + options.timeout);
    std::printf("open %s (%s, timeout %s x 10 ms): result %d\n", options.port.c_str(), options.line.c_str(),
                options.timeout.c_str(), opened.result);
    if (opened.result != 0) return kExitLine;

    int done = 0;
    int failed = 0;
    for (const std::string& spec : options.writes) {
        const auto equals = spec.find('=');
        if (equals == std::string::npos) return Usage();
        const kelhost::Outcome written =
            session.Run("write " + GateWords(spec.substr(0, equals)) + " " + spec.substr(equals + 1));
        std::printf("write %s: result %d\n", spec.c_str(), written.result);
        ++(written.result == 0 ? done : failed);
    }
    for (int round = 0; options.count == 0 || round < options.count; ++round) {
        if (round > 0) PauseMilliseconds(options.intervalMs);
        for (const std::string& spec : options.reads) {
            const kelhost::Outcome read = session.Run("read " + GateWords(spec));
            std::printf("read %s: result %d %s\n", spec.c_str(), read.result, read.detail.c_str());
            ++(read.result == 0 ? done : failed);
        }
        std::fflush(stdout);
    }
    session.Run("close");
    std::printf("%d done, %d failed\n", done, failed);
    return failed == 0 ? 0 : kExitPartial;
}

#if !defined(_WIN32)
// With no port named: a pseudo-terminal stands in for a serial line.
int RunLifecycleDemo(kelhost::HostSession& session) {
    int master = -1;
    int slave = -1;
    char path[64];
    if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
        std::perror("kelhost: openpty");
        return kExitLine;
    }
    const std::string port = std::strncmp(path, "/dev/", 5) == 0 ? path + 5 : path;
    std::printf("no port named: using the pseudo-terminal %s\n", path);
    int failures = 0;
    for (const std::string& command : {"open " + port + " 9600 7 0 0 50", std::string("warm"), std::string("close"),
                                      std::string("reopen"), std::string("close")}) {
        const kelhost::Outcome outcome = session.Run(command);
        std::printf("%s: result %d\n", command.c_str(), outcome.result);
        failures += outcome.result != 0 ? 1 : 0;
    }
    close(slave);
    close(master);
    return failures == 0 ? 0 : kExitLine;
}
#endif

// One frame of the driver's trace: the time of day to the millisecond, the
// direction, the bytes with control and non-ASCII characters escaped.
void KEL_CALL PrintFrame(void*, int32_t direction, const char* bytes, int32_t count) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local {};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    std::string shown;
    for (int32_t i = 0; i < count; ++i) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        char escaped[8];
        if (c == '\r' || c == '\n' || c == '\\') {
            std::snprintf(escaped, sizeof escaped, "\\%c", c == '\r' ? 'r' : c == '\n' ? 'n' : '\\');
        } else if (c < 0x20 || c >= 0x7F) {
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
        } else {
            escaped[0] = static_cast<char>(c);
            escaped[1] = '\0';
        }
        shown += escaped;
    }
    std::fprintf(stderr, "%02d:%02d:%02d.%03d %c %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(millis), direction == KEL_TRACE_SENT ? '<' : '>', shown.c_str());
}

// The banner is code page 437; show its box characters on a UTF-8 terminal.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        switch (static_cast<unsigned char>(*p)) {
            case 0xC9: out += "\u2554"; break;
            case 0xCD: out += "\u2550"; break;
            case 0xBB: out += "\u2557"; break;
            case 0xBA: out += "\u2551"; break;
            case 0xC8: out += "\u255A"; break;
            case 0xBC: out += "\u255D"; break;
            case 0xDB: out += "\u2588"; break;
            case 0xB2: out += "\u2593"; break;
            case 0xB1: out += "\u2592"; break;
            case 0xB0: out += "\u2591"; break;
            default: out += static_cast<unsigned char>(*p) < 0x80 ? *p : '?';
        }
    }
    return out;
}

void PrintDriverInformation(const kelhost::DriverLibrary& driver) {
    DriverState scratch {};
    DriverInfo info {};
    driver.Call(&scratch, KEL_CMD_DRIVER_INFO, &info);
    std::printf("driver \"%s\"%s", info.name, Cp437ToUtf8(info.banner).c_str());
    std::printf("default line: %u baud, %u data bits, stop-bits code %u, parity code %u\n",
                info.defaultLine.baudRate, info.defaultLine.dataBits, info.defaultLine.stopBits,
                info.defaultLine.parity);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) return Usage();
    if (options.library.empty()) options.library = kelhost::DriverLibrary::DefaultPath(argv[0]);

    kelhost::DriverLibrary driver;
    if (!driver.Load(options.library)) {
        std::fprintf(stderr, "kelhost: %s\n", driver.error().c_str());
        return kExitNoDriver;
    }
    if (options.trace && !driver.SetTrace(&PrintFrame, nullptr)) {
        std::fprintf(stderr, "kelhost: %s has no trace of the line\n", options.library.c_str());
        return kExitNoDriver;
    }
    kelhost::HostSession session(driver);
    if (options.script) return RunScript(session);

    teskar_set_echo(1);  // the driver's messages on stderr as they come
    PrintDriverInformation(driver);
    if (!options.port.empty()) return RunOneShot(session, options);
#if defined(_WIN32)
    return Usage();
#else
    return RunLifecycleDemo(session);
#endif
}
