// One driver instance as a host keeps it: the DriverState, the checked
// address of every gate, and the value cells. Each command is one KelMain
// call (a read or write first checks its gate if that was not done yet).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "tools/kelhost/driver_library.h"

namespace kelhost {

struct LogLine {
    int level;
    std::string text;
};

struct Outcome {
    int32_t result = 0;
    std::string detail;          // e.g. "value 4660 cell 0x12340000"
    std::vector<LogLine> logs;   // what the driver logged during the command
    double value = 0;            // what a read delivered, as the value type shows it
    GateAddress address {};      // what a check wrote
};

class HostSession {
public:
    explicit HostSession(const DriverLibrary& driver) : driver_(driver) {}

    // A command line such as "open COM5 9600 7 0 0 50" or "read 01MA0100 0";
    // "help" lists them. Unknown or malformed commands give result -100 and
    // an explanation in detail, without calling the driver.
    Outcome Run(const std::string& line);

    // The same commands for a program: each one KelMain call, with what the
    // driver logged during it.
    Outcome Open(const std::string& port, const LineSettings& line, uint32_t timeoutUnits);
    Outcome Close();
    Outcome CheckGate(const std::string& gas, uint32_t type);
    // The address is what CheckGate wrote for the gas.
    Outcome ReadGate(const std::string& gas, const GateAddress& address, uint32_t type);
    Outcome WriteGate(const std::string& gas, const GateAddress& address, uint32_t type, int64_t value);

    const DriverState& state() const { return state_; }

private:
    template <typename Command>
    Outcome Logged(Command command);
    Outcome Dispatch(const std::vector<std::string>& words);
    Outcome Info();
    Outcome OpenFrom(const std::vector<std::string>& words);
    Outcome ChangeFrom(const std::vector<std::string>& words);
    Outcome GateCommand(const std::vector<std::string>& words);
    Outcome Check(const std::string& gas, uint32_t type, int32_t command, uint16_t count);
    Outcome Read(const std::string& gas, const GateAddress& address, uint32_t type, int32_t count);
    Outcome Write(const std::string& gas, const GateAddress& address, uint32_t type, int64_t value,
                  int32_t command, int32_t count);
    bool EnsureChecked(const std::string& gas, uint32_t type, Outcome* failure);

    const DriverLibrary& driver_;
    DriverState state_ {};
    std::map<std::string, GateAddress> gates_;
};

inline constexpr int32_t kUsageError = -100;

// The gate type a GAS suggests when none is given: digital for relays,
// 16-bit analog otherwise.
uint32_t DefaultGateType(const std::string& gas);

}  // namespace kelhost
