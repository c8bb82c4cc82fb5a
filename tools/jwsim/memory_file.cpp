#include "tools/jwsim/memory_file.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <utility>
#include <vector>

#include "protocol/areas.h"
#include "tools/common/gas_text.h"

namespace kel::jwsim {
namespace {

using Change = std::function<void(Controller&)>;
using tools::GasText;

struct Entry {
    int station = 0;
    Change change;
};

// The value of octal digits, or -1.
int Octal(const std::string& text) {
    if (text.empty()) return -1;
    int value = 0;
    for (const char c : text) {
        if (c < '0' || c > '7') return -1;
        value = value * 8 + (c - '0');
    }
    return value;
}

bool Number(const std::string& text, long long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    // Decimal, or hexadecimal after 0x: a leading 0 is not octal here.
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    *value = std::strtoll(text.c_str() + (hex ? 2 : 0), &end, hex ? 16 : 10);
    return errno == 0 && end != nullptr && *end == '\0' && *value >= 0 && *value <= 0xFFFFFFFFLL;
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// A register item "SSMg...": the area character and first byte, or false.
bool RegisterItem(const std::string& gas, char* area, int* byte) {
    const char group = gas[3];
    if (group == 'A' || group == 'B') {
        *area = group;
        *byte = Octal(gas.substr(4, 4));
    } else if (group >= '0' && group <= '3' && gas[4] == '9') {
        *area = group;
        *byte = Octal(gas.substr(5, 3));
    } else {
        return false;
    }
    return gas.size() == 8 && *byte >= 0 && *byte < Controller::RegisterAreaSize(*area);
}

// One "GAS = VALUE" line as a change of its station's controller; an empty
// reason when it is taken.
std::string ParseLine(const std::string& gasText, const std::string& valueText, Entry* entry) {
    std::string gas = gasText;
    for (char& c : gas) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    std::istringstream words(valueText);
    std::string number, kind;
    words >> number >> kind;
    long long value = 0;
    if (!Number(number, &value)) return "value " + valueText + " is not a number 0 to 0xFFFFFFFF";
    if (gas.size() < 7 || Octal(gas.substr(0, 2)) < 0) return "no gate address: " + gasText;
    entry->station = Octal(gas.substr(0, 2));
    const std::string item = gas.substr(2);
    if (item.rfind("RT", 0) == 0 && item.size() == 6 && Octal(item.substr(2)) >= 0 && Octal(item.substr(2)) < kRtRelayCount) {
        if (value > 1) return "a relay is 0 or 1";
        const int n = Octal(item.substr(2));
        entry->change = [n, value](Controller& c) { c.SetRtRelay(n, static_cast<char>('0' + value)); };
    } else if (item[0] == 'R' && item.size() == 6 && Octal(item.substr(1)) >= 0 && Octal(item.substr(1)) < kRelayCount) {
        if (value > 1) return "a relay is 0 or 1";
        const int n = Octal(item.substr(1));
        entry->change = [n, value](Controller& c) { c.SetRelay(n, static_cast<char>('0' + value)); };
    } else if (item[0] == 'T' && item.size() == 5 && Octal(item.substr(1)) >= 0 && Octal(item.substr(1)) < kTimerCount) {
        if (value > kTimerValueMax) return "a timer or counter value is 0 to 1999";
        if (!kind.empty() && kind != "counter" && kind != "timer") return "after the value only \"timer\" or \"counter\"";
        const int n = Octal(item.substr(1));
        const char type = kind == "counter" ? '2' : '4';
        entry->change = [n, value, type](Controller& c) { c.SetTimer(n, static_cast<int>(value), type); };
    } else if (item[0] == 'M') {
        const bool oneByte = gas.size() == 9 && gas[8] == 'B';
        char area = 0;
        int first = 0;
        if (!RegisterItem(oneByte ? gas.substr(0, 8) : gas, &area, &first)) return "no register " + gasText;
        const int bytes = oneByte ? 1 : value > 0xFFFF ? 4 : 2;
        if (oneByte && value > 0xFF) return "one byte is 0 to 255";
        if (first + bytes > Controller::RegisterAreaSize(area)) return "the value runs past the end of its area";
        entry->change = [area, first, bytes, value](Controller& c) {
            for (int i = 0; i < bytes; ++i) c.SetRegister(area, first + i, static_cast<std::uint8_t>(value >> (8 * i)));
        };
    } else {
        return "no gate address: " + gasText;
    }
    return {};
}

// The area code of a register area character: 'A', 'B', '0' to '3'.
std::int32_t AreaCodeOf(char area) {
    if (area == 'A') return kAreaMA;
    if (area == 'B') return kAreaMB;
    return kAreaM09 + (area - '0');
}

int TimerValue(const TimerCounter& timer) {
    const auto digit = [](char c) { return c - '0'; };
    return 1000 * digit(timer.value[2]) + 100 * digit(timer.value[3]) + 10 * digit(timer.value[0]) +
           digit(timer.value[1]);
}

void WriteController(std::FILE* file, int station, const Controller& c) {
    // Relays are the bits of the MA bytes, saved with them below.
    for (int n = 0; n < kRtRelayCount; ++n) {
        if (c.RtRelay(n) != '0') std::fprintf(file, "%s = %d\n", GasText(station, kAreaRT, n, false).c_str(), c.RtRelay(n) - '0');
    }
    for (int n = 0; n < kTimerCount; ++n) {
        const TimerCounter& t = c.Timer(n);
        const int value = TimerValue(t);
        if (value != 0 || t.type != '4') {
            std::fprintf(file, "%s = %d%s\n", GasText(station, kAreaT, n, false).c_str(), value,
                         t.type == '2' ? " counter" : "");
        }
    }
    for (const char area : {'A', 'B', '0', '1', '2', '3'}) {
        for (int byte = 0; byte < Controller::RegisterAreaSize(area); ++byte) {
            const int value = c.Register(area, byte);
            if (value == 0) continue;
            std::fprintf(file, "%s = 0x%02X\n", GasText(station, AreaCodeOf(area), byte, true).c_str(), value);
        }
    }
}

}  // namespace

std::string ItemChange(const std::string& gas, const std::string& valueText, int* station,
                       std::function<void(Controller&)>* change) {
    Entry entry;
    const std::string reason = ParseLine(gas, valueText, &entry);
    if (!reason.empty()) return reason;
    *station = entry.station;
    *change = std::move(entry.change);
    return {};
}

bool LoadMemory(const std::string& path, Simulator& simulator, std::string* error) {
    std::ifstream file(path);
    if (!file) {
        *error = path + ": " + std::strerror(errno);
        return false;
    }
    std::vector<Entry> entries;
    std::string text;
    for (int number = 1; std::getline(file, text); ++number) {
        const std::string line = Trimmed(text.substr(0, text.find('#')));
        if (line.empty()) continue;
        const auto equals = line.find('=');
        Entry entry;
        std::string reason = equals == std::string::npos ? "expected GAS = VALUE"
                                                           : ParseLine(Trimmed(line.substr(0, equals)),
                                                                       Trimmed(line.substr(equals + 1)), &entry);
        if (reason.empty() && !simulator.Edit(entry.station, [](Controller&) {})) {
            reason = "station " + line.substr(0, 2) + " is not served";
        }
        if (!reason.empty()) {
            *error = path + ":" + std::to_string(number) + ": " + reason;
            return false;
        }
        entries.push_back(std::move(entry));
    }
    for (const Entry& entry : entries) simulator.Edit(entry.station, entry.change);
    return true;
}

bool SaveMemory(const std::string& path, const Simulator& simulator, std::string* error) {
    // Written beside the file and renamed over it, so a crash never leaves half a file.
    const std::string temporary = path + ".new";
    std::FILE* file = std::fopen(temporary.c_str(), "w");
    if (file == nullptr) {
        *error = temporary + ": " + std::strerror(errno);
        return false;
    }
    std::fprintf(file, "# jwsim memory: GAS = VALUE, one item a line\n");
    for (const int station : simulator.stations()) WriteController(file, station, simulator.Snapshot(station));
    const bool written = std::fclose(file) == 0;
    if (!written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        *error = path + ": " + std::strerror(errno);
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace kel::jwsim
