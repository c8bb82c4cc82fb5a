#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

using CommandHandler = std::int32_t (*)(KelRequest* request);

// A command's handler and the records it reads, so that a host's null
// pointer is refused before any handler would follow it.
struct CommandEntry {
    CommandHandler handler = nullptr;
    bool usesState = false;
    bool usesBlock = false;
};

// Indexed by command code; empty entries have no handler.
extern const CommandEntry kCommandTable[KEL_COMMAND_COUNT];

}  // namespace kel
