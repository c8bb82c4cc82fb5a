#include "commands/write_gate.h"

#include "commands/driver_line.h"
#include "commands/value_cell.h"
#include "link/write_item.h"

namespace kel {
namespace {

constexpr std::int32_t kCheckedMarker = 255;

// Byte count of a register write: 1 for 8-bit gates, else by value type.
int WriteByteCount(const GateRequest& request) {
    if (request.address.widthBits == 8) return 1;
    switch (request.valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT: return 2;
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT: return 4;
        default: return 0;
    }
}

}  // namespace

std::int32_t WriteGate(KelRequest* request) {
    DriverState* state = request->state;
    const auto* block = static_cast<const GateRequest*>(request->block);
    const GateAddress& gate = block->address;
    std::int32_t value = 0;
    const bool hasValue = block->value != nullptr && TakeWriteValue(block->valueType, block->value, &value);
    // A value type that carries no value is refused without touching the
    // line; an unknown area still gets its gate-type message.
    const bool knownArea = gate.areaKind >= AreaR && gate.areaKind <= AreaM39;
    if (knownArea && !hasValue) return KEL_REFUSED;
    LinkContext& line = LinkOf(*state);
    const int result = WriteItem(line, ItemOf(gate, WriteByteCount(*block)), value, block->gas);
    KeepLink(line, state);
    return result;
}

std::int32_t WriteMarkedGate(KelRequest* request) {
    auto* block = static_cast<GateRequest*>(request->block);
    if (block->address.marker != kCheckedMarker) return KEL_OK;
    block->count = 1;
    return WriteGate(request);
}

}  // namespace kel
