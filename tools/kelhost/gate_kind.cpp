#include "tools/kelhost/gate_kind.h"

#include <charconv>
#include <cmath>
#include <cstdlib>

namespace kelhost {
namespace {

struct KindName {
    GateKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {{GateKind::Auto, "auto"},     {GateKind::Relay, "relay"},
                                   {GateKind::Bits8, "8"},       {GateKind::Bits16, "16"},
                                   {GateKind::Bits32, "32"},     {GateKind::Float, "float"}};

bool EndsInByteMark(const std::string& gas) {
    return gas.size() == 9 && (gas[8] == 'B' || gas[8] == 'b');
}

bool IsBitArea(int32_t area) { return area == AreaR || area == AreaRT || area == AreaT; }

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

}  // namespace

bool ParseGateKind(const std::string& text, GateKind* kind) {
    for (const KindName& entry : kKindNames) {
        if (text == entry.name) {
            *kind = entry.kind;
            return true;
        }
    }
    return false;
}

const char* GateKindName(GateKind kind) {
    for (const KindName& entry : kKindNames) {
        if (entry.kind == kind) return entry.name;
    }
    return "?";
}

GateKind ResolveKind(GateKind kind, const std::string& gas) {
    if (kind != GateKind::Auto) return kind;
    const char letter = gas.size() > 2 ? gas[2] : '\0';
    if (letter == 'R' || letter == 'r') return GateKind::Relay;
    return EndsInByteMark(gas) ? GateKind::Bits8 : GateKind::Bits16;
}

uint32_t CheckType(GateKind kind) {
    switch (kind) {
        case GateKind::Relay: return KEL_VALUE_DIGITAL;
        case GateKind::Bits32:
        case GateKind::Float: return KEL_VALUE_ANALOG32;
        default: return KEL_VALUE_ANALOG16;
    }
}

uint32_t ValueType(GateKind kind) {
    return kind == GateKind::Float ? KEL_VALUE_FLOAT : CheckType(kind);
}

std::string KindMismatch(GateKind kind, const std::string& gas, const GateAddress& address) {
    if (kind == GateKind::Bits8 && address.widthBits != 8) {
        return gas + ": an 8-bit gate is written with a B at the end (e.g. " + gas.substr(0, 8) + "B)";
    }
    if (kind != GateKind::Bits8 && kind != GateKind::Relay && address.widthBits == 8) {
        return gas + ": the B at the end makes it an 8-bit gate, not " + GateKindName(kind);
    }
    if ((kind == GateKind::Bits32 || kind == GateKind::Float) && address.areaKind == AreaT) {
        return gas + ": timer and counter values are 16-bit";
    }
    return {};
}

ValueRange WritableRange(GateKind kind, const GateAddress& address) {
    if (address.areaKind == AreaT) {
        return {0, 1, "a timer or counter gate takes 0 or 1 (its contact; the current value cannot be written)"};
    }
    if (IsBitArea(address.areaKind)) return {0, 1, "a relay takes 0 or 1"};
    const char* asFloat = kind == GateKind::Float ? " (the controller keeps whole numbers)" : "";
    switch (address.widthBits) {
        case 8:
            return {-128, 255, std::string("an 8-bit register takes 0 to 255, or -128 to -1 as two's complement") +
                                   asFloat};
        case 32:
            return {INT64_C(-2147483648), INT64_C(4294967295),
                    std::string("a 32-bit register takes -2147483648 to 4294967295 (negative as two's "
                                "complement)") + asFloat};
        default:
            return {-32768, 65535,
                    std::string("a 16-bit register takes -32768 to 65535 (negative as two's complement)") + asFloat};
    }
}

bool ParseWriteValue(const std::string& text, GateKind kind, const GateAddress& address, int64_t* value,
                     std::string* why) {
    const ValueRange range = WritableRange(kind, address);
    int64_t number = 0;
    if (kind == GateKind::Float && !IsBitArea(address.areaKind)) {
        char* end = nullptr;
        const double real = std::strtod(text.c_str(), &end);
        if (text.empty() || end == nullptr || *end != '\0' || !std::isfinite(real) || real != std::trunc(real) ||
            real < static_cast<double>(range.min) || real > static_cast<double>(range.max)) {
            *why = range.what;
            return false;
        }
        number = static_cast<int64_t>(real);
    } else if (!ParseWhole(text, &number) || number < range.min || number > range.max) {
        *why = range.what;
        return false;
    }
    // Two's complement within the register's width.
    if (number < 0) number += int64_t {1} << (address.widthBits == 8 ? 8 : address.widthBits == 32 ? 32 : 16);
    *value = number;
    return true;
}

}  // namespace kelhost
