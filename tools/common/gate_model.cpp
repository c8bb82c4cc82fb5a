#include "tools/common/gate_model.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "protocol/areas.h"

namespace kel::tools {
namespace {

struct KindName {
    GateKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {{GateKind::kRelay, "relay"}, {GateKind::kBits8, "8"}, {GateKind::kBits16, "16"},
                                   {GateKind::kBits32, "32"},   {GateKind::kFloat, "float"}};

bool EndsInByteMark(const std::string& gas) {
    return gas.size() == kMaxGasLength && std::toupper(static_cast<unsigned char>(gas[8])) == 'B';
}

}  // namespace

bool ParseGateKind(std::string_view name, GateKind* kind) {
    for (const KindName& entry : kKindNames) {
        if (name == entry.name) {
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

std::string UnknownGateKind(const std::string& text) {
    return text + ": the type after ':' is " + kGateKindNames;
}

GateKind KindOfAddress(const std::string& gas) {
    const char letter = gas.size() > 2 ? static_cast<char>(std::toupper(static_cast<unsigned char>(gas[2]))) : '\0';
    if (letter == 'R') return GateKind::kRelay;
    return EndsInByteMark(gas) ? GateKind::kBits8 : GateKind::kBits16;
}

std::uint32_t CheckType(GateKind kind) {
    switch (kind) {
        case GateKind::kRelay: return KEL_VALUE_DIGITAL;
        case GateKind::kBits32:
        case GateKind::kFloat: return KEL_VALUE_ANALOG32;
        default: return KEL_VALUE_ANALOG16;
    }
}

std::uint32_t ValueType(GateKind kind) { return kind == GateKind::kFloat ? KEL_VALUE_FLOAT : CheckType(kind); }

std::string KindMismatch(GateKind kind, const std::string& gas, const GateAddress& address) {
    if (address.areaKind == kAreaT && kind != GateKind::kBits16) return gas + ": timer and counter values are 16-bit";
    if (!IsRegisterArea(address.areaKind)) return {};
    if (kind == GateKind::kBits8 && address.widthBits != 8) {
        return gas + ": an 8-bit gate is written with a B at the end (e.g. " + gas.substr(0, 8) + "B)";
    }
    if (kind != GateKind::kBits8 && address.widthBits == 8) {
        return gas + ": the B at the end makes it an 8-bit gate, not " + GateKindName(kind);
    }
    return {};
}

std::string RefusalText(const std::string& gas, const GateRefusal& why) {
    if (why.format == nullptr) return "KELSRP: GAS " + gas + " has a character out of place";
    char text[256];
    std::snprintf(text, sizeof text, why.format, why.argument);
    return text;
}

WriteRange WriteRangeOf(GateKind kind, const GateAddress& address) {
    if (address.areaKind == kAreaT) {
        return {0, 1, 1, "a timer or counter gate takes 0 or 1 (its contact; the current value cannot be written)"};
    }
    if (!IsRegisterArea(address.areaKind)) return {0, 1, 1, "a relay takes 0 or 1"};
    switch (address.widthBits) {
        case 8:
            return {-128, 255, 8, "an 8-bit register takes 0 to 255, or -128 to -1 as two's complement"};
        case 32: {
            const std::string gate =
                kind == GateKind::kFloat ? "a float gate takes whole numbers only: " : "a 32-bit register takes ";
            return {INT64_C(-2147483648), INT64_C(4294967295), 32,
                    gate + "0 to 4294967295, or -2147483648 to -1 as two's complement"};
        }
        default:
            return {-32768, 65535, 16, "a 16-bit register takes 0 to 65535, or -32768 to -1 as two's complement"};
    }
}

std::uint32_t TwosComplement(std::int64_t value, int bits) {
    if (value < 0) value += std::int64_t {1} << bits;
    return static_cast<std::uint32_t>(value);
}

bool RawForWrite(double number, const WriteRange& range, std::uint32_t* raw) {
    if (!std::isfinite(number) || number != std::trunc(number) || number < static_cast<double>(range.min) ||
        number > static_cast<double>(range.max)) {
        return false;
    }
    *raw = TwosComplement(static_cast<std::int64_t>(number), range.bits);
    return true;
}

}  // namespace kel::tools
