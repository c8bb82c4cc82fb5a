#include "tools/jwgate/config/gate_check.h"

#include "commands/driver_line.h"
#include "commands/gate_checks.h"
#include "kelwnsrp.h"
#include "tools/common/gate_model.h"

namespace jwgate {
namespace {

// The gate type the driver checks a value type as; floats are 32-bit
// registers to the link.
std::uint32_t GateTypeOf(ValueType type) {
    if (type == ValueType::kRelay) return KEL_VALUE_DIGITAL;
    return ValueBytes(type) == 4 ? KEL_VALUE_ANALOG32 : KEL_VALUE_ANALOG16;
}

}  // namespace

bool CheckPointAddress(const std::string& gas, ValueType type, kel::Item* item, std::string* error) {
    GateAddress address {};
    kel::GateRefusal why;
    if (kel::CheckGateAddress(gas.c_str(), GateTypeOf(type), &address, &why) != KEL_OK) {
        *error = kel::tools::RefusalText(gas, why);
        return false;
    }
    const int bytes = kel::RegisterBytes(address.widthBits);
    if (kel::IsRegisterArea(address.areaKind) && bytes != ValueBytes(type)) {
        *error = std::string("value type ") + ValueTypeName(type) + " takes " + std::to_string(ValueBytes(type)) +
                 " byte(s) but " + gas + " names " + std::to_string(bytes) +
                 (ValueBytes(type) == 1 ? " (8-bit addresses end in B)" : " (B at the end makes it 8-bit)");
        return false;
    }
    if (address.areaKind == kel::kAreaT && ValueBytes(type) != 2) {
        *error = std::string("a timer/counter value is u16 or i16, not ") + ValueTypeName(type);
        return false;
    }
    // Relays and timers name no width: the link reads them by their area.
    *item = kel::ItemOf(address, kel::IsRegisterArea(address.areaKind) ? bytes : 0);
    return true;
}

}  // namespace jwgate
