#include "tools/kelhost/gate_range.h"

#include "tools/common/gas_text.h"

namespace kelhost {

bool SplitRange(const std::string& argument, std::string* first, std::string* last) {
    const auto dots = argument.find("..");
    if (dots == std::string::npos) return false;
    *first = argument.substr(0, dots);
    *last = argument.substr(dots + 2);
    return true;
}

std::string GasOf(const GateAddress& like, int32_t address, bool byteMark) {
    return kel::tools::GasText(like.station, like.areaKind, address, byteMark);
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
