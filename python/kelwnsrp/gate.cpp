#include "python/kelwnsrp/gate.h"

#include "commands/gate_checks.h"

namespace kelpy {

bool ParseGate(const std::string& text, Gate* gate, std::string* error) {
    const auto colon = text.find(':');
    gate->gas = text.substr(0, colon);
    const std::string& gas = gate->gas;
    if (colon == std::string::npos) {
        gate->kind = kel::tools::KindOfAddress(gas);
    } else if (!kel::tools::ParseGateKind(text.substr(colon + 1), &gate->kind)) {
        *error = kel::tools::UnknownGateKind(text);
        return false;
    }
    GateAddress& address = gate->address;
    kel::GateRefusal why;
    if (gas.size() > kel::kMaxGasLength ||
        kel::CheckGateAddress(gas.c_str(), kel::tools::CheckType(gate->kind), &address, &why) != KEL_OK) {
        *error = gas.size() > kel::kMaxGasLength ? "KELSRP: GAS " + gas + " length isn't correct"
                                                 : kel::tools::RefusalText(gas, why);
        return false;
    }
    const std::string mismatch = kel::tools::KindMismatch(gate->kind, gas, address);
    if (!mismatch.empty()) {
        *error = mismatch;
        return false;
    }
    const int bytes = kel::IsRegisterArea(address.areaKind) ? kel::RegisterBytes(address.widthBits) : 0;
    gate->item = {address.station, address.areaKind, address.address, bytes};
    return true;
}

GateValue ValueOf(const Gate& gate, std::uint32_t raw) {
    if (gate.kind == GateKind::kFloat) {
        return {true, 0, static_cast<double>(static_cast<float>(static_cast<std::int32_t>(raw)))};
    }
    switch (gate.item.bytes) {
        case 1: return {false, raw & 0xFFu, 0};
        case 2: return {false, raw & 0xFFFFu, 0};
        default: return {false, raw, 0};
    }
}

bool RawForWrite(const Gate& gate, double number, std::uint32_t* raw, std::string* error) {
    const kel::tools::WriteRange range = kel::tools::WriteRangeOf(gate.kind, gate.address);
    if (!kel::tools::RawForWrite(number, range, raw)) {
        *error = "KELSRP: Write failed Value out of range. GAS=" + gate.gas + " (" + range.what + ")";
        return false;
    }
    return true;
}

}  // namespace kelpy
