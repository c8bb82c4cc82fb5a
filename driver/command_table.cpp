#include "address/gate_address_check.h"
#include "driver/command_handler.h"
#include "driver/driver_info.h"
#include "driver/lifecycle.h"

namespace kel {

const CommandHandler kCommandTable[KEL_COMMAND_COUNT] = {
    nullptr,             // 0
    &OpenCommand,        // 1
    &WarmStartCommand,   // 2
    &CheckGateAddressCommand,   // 3
    &CheckBlockAddressCommand,  // 4
    nullptr,             // 5 read gate
    nullptr,             // 6 read gate
    nullptr,             // 7 write marked gate
    nullptr,             // 8
    nullptr,             // 9
    nullptr,             // 10 write gate
    &CloseCommand,       // 11
    &CloseCommand,       // 12
    &ReopenCommand,      // 13
    &DriverInfoCommand,  // 14
    &ChangePortCommand,  // 15
};

}  // namespace kel
