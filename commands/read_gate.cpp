#include "commands/read_gate.h"

#include "commands/driver_line.h"
#include "commands/value_cell.h"
#include "link/read_item.h"

namespace kel {

std::int32_t ReadGate(KelRequest* request) {
    DriverState* state = request->state;
    const auto* block = static_cast<const GateRequest*>(request->block);
    const GateAddress& gate = block->address;
    LinkContext& line = LinkOf(*state);
    std::int32_t value = 0;
    bool delivered = false;
    const int result = ReadItem(line, ItemOf(gate, RegisterBytes(gate.widthBits)), &value, &delivered);
    KeepLink(line, state);
    if (result == kLinkOk && delivered && block->value != nullptr) {
        StoreReadValue(block->valueType, block->value, value);
    }
    return result;
}

}  // namespace kel
