#include "address/gate_address_check.h"
#include "driver/command_handler.h"
#include "driver/driver_info.h"
#include "driver/lifecycle.h"
#include "link/read_transaction.h"
#include "link/write_transaction.h"

namespace kel {

const CommandHandler kCommandTable[KEL_COMMAND_COUNT] = {
    nullptr,                    // 0
    &OpenCommand,               // 1
    &WarmStartCommand,          // 2
    &CheckGateAddressCommand,   // 3
    &CheckBlockAddressCommand,  // 4
    &ReadGate,                  // 5
    &ReadGate,                  // 6
    &WriteMarkedGate,           // 7
    nullptr,                    // 8
    nullptr,                    // 9
    &WriteGate,                 // 10
    &CloseCommand,              // 11
    &CloseCommand,              // 12
    &ReopenCommand,             // 13
    &DriverInfoCommand,         // 14
    &ChangePortCommand,         // 15
};

}  // namespace kel
