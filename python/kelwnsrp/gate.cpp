#include "python/kelwnsrp/gate.h"

#include <cctype>
#include <cmath>
#include <cstdio>

#include "commands/gate_checks.h"
#include "kelwnsrp.h"

namespace kelpy {
namespace {

struct KindName {
    GateKind kind;
    const char* name;
};
constexpr KindName kKindNames[] = {{GateKind::kRelay, "relay"}, {GateKind::kBits8, "8"}, {GateKind::kBits16, "16"},
                                   {GateKind::kBits32, "32"},   {GateKind::kFloat, "float"}};

bool EndsInByteMark(const std::string& gas) { return gas.size() == 9 && std::toupper(gas[8]) == 'B'; }

std::uint32_t CheckType(GateKind kind) {
    if (kind == GateKind::kRelay) return KEL_VALUE_DIGITAL;
    return kind == GateKind::kBits32 || kind == GateKind::kFloat ? KEL_VALUE_ANALOG32 : KEL_VALUE_ANALOG16;
}

std::string DriverReason(const std::string& gas, const kel::GateRefusal& why) {
    if (why.format == nullptr) return "KELSRP: GAS " + gas + " has a character out of place";
    char text[256];
    std::snprintf(text, sizeof text, why.format, why.argument);
    return text;
}

// What a write to the gate may carry, and the words that say so.
struct WriteRange {
    std::int64_t min;
    std::int64_t max;
    int bits;  // two's complement width of negative values
    const char* what;
};

WriteRange WriteRangeOf(const Gate& gate) {
    if (gate.item.area == kel::kAreaT) return {0, 1, 1, "a timer or counter gate takes 0 or 1 (its contact)"};
    if (!kel::IsRegisterArea(gate.item.area)) return {0, 1, 1, "a relay takes 0 or 1"};
    switch (gate.item.bytes) {
        case 1: return {-128, 255, 8, "an 8-bit register takes -128 to 255"};
        case 4: return {INT64_C(-2147483648), INT64_C(4294967295), 32, "a 32-bit register takes -2147483648 to 4294967295"};
        default: return {-32768, 65535, 16, "a 16-bit register takes -32768 to 65535"};
    }
}

}  // namespace

bool ParseGate(const std::string& text, Gate* gate, std::string* error) {
    const auto colon = text.find(':');
    gate->gas = text.substr(0, colon);
    const std::string& gas = gate->gas;
    if (colon == std::string::npos) {
        const char letter = gas.size() > 2 ? static_cast<char>(std::toupper(gas[2])) : '\0';
        gate->kind = letter == 'R' ? GateKind::kRelay : EndsInByteMark(gas) ? GateKind::kBits8 : GateKind::kBits16;
    } else {
        const std::string type = text.substr(colon + 1);
        bool known = false;
        for (const KindName& entry : kKindNames) {
            if (type == entry.name) {
                gate->kind = entry.kind;
                known = true;
            }
        }
        if (!known) {
            *error = text + ": the type after ':' is relay, 8, 16, 32 or float";
            return false;
        }
    }
    GateAddress address {};
    kel::GateRefusal why;
    if (gas.size() > kel::kMaxGasLength ||
        kel::CheckGateAddress(gas.c_str(), CheckType(gate->kind), &address, &why) != KEL_OK) {
        *error = gas.size() > kel::kMaxGasLength ? "KELSRP: GAS " + gas + " length isn't correct"
                                                 : DriverReason(gas, why);
        return false;
    }
    const bool wantsByte = gate->kind == GateKind::kBits8;
    if (kel::IsRegisterArea(address.areaKind) && wantsByte != (address.widthBits == 8)) {
        *error = gas + (wantsByte ? ": an 8-bit gate is written with a B at the end"
                                  : ": the B at the end makes it an 8-bit gate");
        return false;
    }
    if (address.areaKind == kel::kAreaT && gate->kind != GateKind::kBits16) {
        *error = gas + ": timer and counter values are 16-bit";
        return false;
    }
    const int bytes = kel::IsRegisterArea(address.areaKind) ? kel::RegisterBytes(address.widthBits) : 0;
    gate->item = {address.station, address.areaKind, address.address, bytes};
    return true;
}

GateValue ValueOf(const Gate& gate, std::uint32_t raw) {
    if (gate.kind == GateKind::kFloat) return {true, 0, static_cast<double>(static_cast<float>(static_cast<std::int32_t>(raw)))};
    switch (gate.item.bytes) {
        case 1: return {false, raw & 0xFFu, 0};
        case 2: return {false, raw & 0xFFFFu, 0};
        default: return {false, raw, 0};
    }
}

bool RawForWrite(const Gate& gate, double number, std::uint32_t* raw, std::string* error) {
    const WriteRange range = WriteRangeOf(gate);
    if (!std::isfinite(number) || number != std::trunc(number) || number < static_cast<double>(range.min) ||
        number > static_cast<double>(range.max)) {
        *error = "KELSRP: Write failed Value out of range. GAS=" + gate.gas + " (" + range.what +
                 (gate.kind == GateKind::kFloat ? ", whole numbers only)" : ")");
        return false;
    }
    auto whole = static_cast<std::int64_t>(number);
    if (whole < 0) whole += std::int64_t {1} << range.bits;
    *raw = static_cast<std::uint32_t>(whole);
    return true;
}

}  // namespace kelpy
