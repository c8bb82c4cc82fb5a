// The jwsim program's command line, parsed apart from main so it can be
// tested.
#pragma once

#include <set>
#include <string>
#include <vector>

#include "tools/jwsim/simulator.h"

namespace kel::jwsim {

struct CommandLine {
    SimulatorOptions options;  // trace left empty: main decides where it goes
    bool trace = false;
    bool help = false;
    std::string error;  // not empty: a usage error
};

inline constexpr char kUsage[] =
    "usage: jwsim [--station NN]... [--protect] [--baud N] [--device PATH] [--trace]\n"
    "  --station NN   serve station NN, written as in a gate address: one or two\n"
    "                 octal digits, 00 to 77 (repeat for more; default 01)\n"
    "  --protect      refuse SRR, SRT and WRG with status 10 until EWR 1 or 2\n"
    "  --baud N       behave as a line of N baud (10 bits a character): a request\n"
    "                 counts as received when its last character would have\n"
    "                 arrived, and each reply character leaves in its own slot\n"
    "  --device PATH  serve this serial device instead of a new pseudo-terminal\n"
    "  --trace        print every request and reply, control characters escaped\n";

// args without the program name.
CommandLine ParseCommandLine(const std::vector<std::string>& args);

}  // namespace kel::jwsim
