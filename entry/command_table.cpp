#include "entry/command_table.h"

#include "commands/driver_info.h"
#include "commands/gate_checks.h"
#include "commands/lifecycle.h"
#include "commands/read_gate.h"
#include "commands/write_gate.h"

namespace kel {

constexpr bool kState = true;
constexpr bool kBlock = true;
constexpr bool kNone = false;

const CommandEntry kCommandTable[KEL_COMMAND_COUNT] = {
    {},                                           // 0
    {&OpenCommand, kState, kBlock},               // 1
    {&WarmStartCommand, kState, kNone},           // 2
    {&CheckGateAddressCommand, kNone, kBlock},    // 3
    {&CheckBlockAddressCommand, kNone, kBlock},   // 4
    {&ReadGate, kState, kBlock},                  // 5
    {&ReadGate, kState, kBlock},                  // 6
    {&WriteMarkedGate, kState, kBlock},           // 7
    {},                                           // 8
    {},                                           // 9
    {&WriteGate, kState, kBlock},                 // 10
    {&CloseCommand, kState, kNone},               // 11
    {&CloseCommand, kState, kNone},               // 12
    {&ReopenCommand, kState, kNone},              // 13
    {&DriverInfoCommand, kNone, kBlock},          // 14
    {&ChangePortCommand, kState, kBlock},         // 15
};

}  // namespace kel
