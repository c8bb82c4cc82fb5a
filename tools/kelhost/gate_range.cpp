#include "tools/kelhost/gate_range.h"

#include <cstdio>

namespace kelhost {

bool SplitRange(const std::string& argument, std::string* first, std::string* last) {
    const auto dots = argument.find("..");
    if (dots == std::string::npos) return false;
    *first = argument.substr(0, dots);
    *last = argument.substr(dots + 2);
    return true;
}

std::string GasOf(const GateAddress& like, int32_t address, bool byteMark) {
    char text[16];
    const unsigned station = static_cast<unsigned>(like.station) & 077u;
    const unsigned item = static_cast<unsigned>(address);
    switch (like.areaKind) {
        case AreaR: std::snprintf(text, sizeof text, "%02oR%05o", station, item & 077777u); break;
        case AreaRT: std::snprintf(text, sizeof text, "%02oRT%04o", station, item & 07777u); break;
        case AreaT: std::snprintf(text, sizeof text, "%02oT%04o", station, item & 07777u); break;
        case AreaMA: std::snprintf(text, sizeof text, "%02oMA%04o", station, item & 07777u); break;
        case AreaMB: std::snprintf(text, sizeof text, "%02oMB%04o", station, item & 07777u); break;
        default: {
            // File registers: the file group digit, a 9, three octal digits.
            const int group = like.areaKind - AreaM09;
            std::snprintf(text, sizeof text, "%02oM%d9%03o", station, group & 3, item & 0777u);
        }
    }
    std::string gas = text;
    if (byteMark && like.areaKind >= AreaMA) gas += 'B';
    return gas;
}

bool ExpandRange(const GateAddress& first, const GateAddress& last, int step, bool byteMark,
                 std::vector<std::string>* gates, std::string* why) {
    if (first.station != last.station || first.areaKind != last.areaKind) {
        *why = "a range runs within one area of one station";
        return false;
    }
    if (last.address < first.address) {
        *why = "a range runs from the lower address to the higher";
        return false;
    }
    const int64_t count = (static_cast<int64_t>(last.address) - first.address) / step + 1;
    if (count > kMaxRangeGates) {
        *why = "a range holds at most " + std::to_string(kMaxRangeGates) + " gates";
        return false;
    }
    for (int32_t address = first.address; address <= last.address; address += step) {
        gates->push_back(GasOf(first, address, byteMark));
    }
    return true;
}

}  // namespace kelhost
