#include "commands/driver_line.h"

namespace kel {

// A checked gate address carries the link's area codes as they are.
constexpr bool SameCode(AreaKind kind, AreaCode code) { return static_cast<int>(kind) == static_cast<int>(code); }
static_assert(SameCode(AreaR, kAreaR) && SameCode(AreaRT, kAreaRT) && SameCode(AreaT, kAreaT) &&
              SameCode(AreaMA, kAreaMA) && SameCode(AreaMB, kAreaMB) && SameCode(AreaM09, kAreaM09) &&
              SameCode(AreaM19, kAreaM19) && SameCode(AreaM29, kAreaM29) && SameCode(AreaM39, kAreaM39));

Line LineOf(const DriverState& state) {
    Line line;
    line.port = state.portHandle;
    line.baudRate = state.portSettings.line.baudRate;
    line.linkTimeout = state.LinkTimeout;
    line.writeEnablePending = state.WriteEnablePending != 0;
    return line;
}

void KeepLine(const Line& line, DriverState* state) {
    if (line.writeEnablePending != (state->WriteEnablePending != 0)) {
        state->WriteEnablePending = line.writeEnablePending ? 1 : 0;
    }
}

Item ItemOf(const GateAddress& gate, int bytes) { return {gate.station, gate.areaKind, gate.address, bytes}; }

}  // namespace kel
