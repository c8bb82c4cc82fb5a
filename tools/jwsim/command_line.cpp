#include "tools/jwsim/command_line.h"

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

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    std::set<int> stations;
    for (std::size_t i = 0; i < args.size() && line.error.empty(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--station" || arg == "--device") {
            if (!hasValue) {
                line.error = arg + " needs a value";
                break;
            }
            const std::string& value = args[++i];
            if (arg == "--device") {
                line.options.device = value;
                continue;
            }
            const int station = OctalStation(value);
            if (station < 0) {
                line.error = "station " + value + " is not 00 to 77 (octal)";
            } else {
                stations.insert(station);
            }
        } else if (arg == "--protect") {
            line.options.protect = true;
        } else if (arg == "--trace") {
            line.trace = true;
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else {
            line.error = "unknown argument " + arg;
        }
    }
    if (!stations.empty()) line.options.stations = stations;
    return line;
}

}  // namespace kel::jwsim
