#include "tools/jwsim/command_line.h"

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

// A line speed of 50 to 4000000 baud; 0 otherwise.
std::uint32_t Baud(const std::string& text) {
    if (text.empty() || text.size() > 7 || text.find_first_not_of("0123456789") != std::string::npos) return 0;
    const unsigned long baud = std::stoul(text);
    return baud >= 50 && baud <= 4000000 ? static_cast<std::uint32_t>(baud) : 0;
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::string>& args) {
    CommandLine line;
    std::set<int> stations;
    for (std::size_t i = 0; i < args.size() && line.error.empty(); ++i) {
        const std::string& arg = args[i];
        const bool hasValue = i + 1 < args.size();
        if (arg == "--station" || arg == "--device" || arg == "--baud") {
            if (!hasValue) {
                line.error = arg + " needs a value";
                break;
            }
            const std::string& value = args[++i];
            if (arg == "--device") {
                line.options.device = value;
                continue;
            }
            if (arg == "--baud") {
                line.options.baud = Baud(value);
                if (line.options.baud == 0) line.error = "baud " + value + " is not 50 to 4000000";
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
