// The jwsim program's command line, parsed apart from main so it can be
// tested.
#pragma once

#include <string>
#include <vector>

#include "tools/jwsim/simulator.h"
#include "tools/jwsim/stepper.h"

namespace kel::jwsim {

struct CommandLine {
    SimulatorOptions options;  // trace left empty: main decides where it goes
    bool trace = false;
    bool help = false;
    std::string memoryFile;    // load at start, save on exit and on SIGUSR1
    std::vector<Fault> faults;  // queued before serving, in order
    std::vector<StepSchedule> steps;
    std::string stepRecord;    // each step appended here, one line each
    unsigned stepAfterMs = 0;  // the steps begin this long after the start
    std::string usage;         // the help text
    std::string error;         // not empty: a usage error, one line
};

// args without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kel::jwsim
