#include "entry/command_table.h"
#include "kelwnsrp.h"

extern "C" KEL_API std::int32_t KEL_CALL KelMain(KelRequest* request) {
    if (request == nullptr) return KEL_NO_SUCH_COMMAND;
    const std::int32_t code = request->command;
    if (code < 0 || code >= KEL_COMMAND_COUNT) return KEL_NO_SUCH_COMMAND;
    const kel::CommandEntry& entry = kel::kCommandTable[code];
    if (entry.handler == nullptr) return KEL_NO_SUCH_COMMAND;
    if ((entry.usesState && request->state == nullptr) || (entry.usesBlock && request->block == nullptr)) {
        return KEL_NO_SUCH_COMMAND;
    }
    // Nothing is meant to throw; should anything, it must not reach the host.
    try {
        return entry.handler(request);
    } catch (...) {
        return KEL_LINE_FAILURE;
    }
}
