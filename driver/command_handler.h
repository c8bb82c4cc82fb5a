#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

using CommandHandler = std::int32_t (*)(KelRequest* request);

// Indexed by command code; empty entries have no handler.
extern const CommandHandler kCommandTable[KEL_COMMAND_COUNT];

}  // namespace kel
