#include "tools/kelhost/gate_kind.h"

#include <charconv>
#include <cstdlib>
#include <string_view>

#include "protocol/areas.h"

namespace kelhost {
namespace {

// A whole number in decimal or 0x hexadecimal, with an optional minus.
bool ParseWhole(const std::string& text, int64_t* value) {
    std::string_view digits(text);
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    int base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        digits.remove_prefix(2);
        base = 16;
    }
    if (digits.empty()) return false;
    uint64_t magnitude = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
    if (error != std::errc() || end != digits.data() + digits.size() || magnitude > (uint64_t {1} << 40)) {
        return false;
    }
    *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
    return true;
}

// The value text as a number: a float register gate's as a real number,
// every other gate's as a whole one.
bool ParseNumber(const std::string& text, GateKind kind, const GateAddress& address, double* number) {
    if (kind == GateKind::kFloat && kel::IsRegisterArea(address.areaKind)) {
        char* end = nullptr;
        *number = std::strtod(text.c_str(), &end);
        return !text.empty() && end != nullptr && *end == '\0';
    }
    int64_t whole = 0;
    if (!ParseWhole(text, &whole)) return false;
    *number = static_cast<double>(whole);  // exact: at most 2^40
    return true;
}

}  // namespace

bool ParseKindOption(const std::string& text, std::optional<GateKind>* kind) {
    if (text == "auto") {
        kind->reset();
        return true;
    }
    GateKind named = GateKind::kRelay;
    if (!kel::tools::ParseGateKind(text, &named)) return false;
    *kind = named;
    return true;
}

GateKind ResolveKind(std::optional<GateKind> kind, const std::string& gas) {
    return kind ? *kind : kel::tools::KindOfAddress(gas);
}

bool ParseWriteValue(const std::string& text, GateKind kind, const GateAddress& address, int64_t* value,
                     std::string* why) {
    const kel::tools::WriteRange range = kel::tools::WriteRangeOf(kind, address);
    double number = 0;
    uint32_t raw = 0;
    if (!ParseNumber(text, kind, address, &number) || !kel::tools::RawForWrite(number, range, &raw)) {
        *why = range.what;
        return false;
    }
    *value = raw;
    return true;
}

}  // namespace kelhost
