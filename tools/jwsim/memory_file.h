// The simulated controllers' memory as a text file, so that a bench setup
// survives a restart. One item a line, in gate address notation:
//
//   01MA0100 = 0x1234        two register bytes (four for a value above 0xFFFF)
//   01MB0010B = 7            one register byte
//   01M09100 = 65535         file registers likewise
//   01R00001 = 1             a relay; 01RT0017 = 1 likewise
//   01T0005 = 120            a timer's current value; "= 120 counter" for a counter
//
// Numbers are decimal or 0x hexadecimal; "#" starts a comment. Relays are
// the bits of the MA bytes: a relay line sets its bit, later lines win, and
// the memory is saved as bytes.
#pragma once

#include <functional>
#include <string>

#include "tools/jwsim/simulator.h"

namespace kel::jwsim {

// Sets the items the file names, on the served stations; false with the
// file, line and reason in *error for anything it cannot take (and then
// nothing is changed).
bool LoadMemory(const std::string& path, Simulator& simulator, std::string* error);

// One item in gate address notation set to valueText ("0x1234", "120
// counter"), as a change of its station's controller: an empty reason when
// taken, else why not. The grammar of one line of the file.
std::string ItemChange(const std::string& gas, const std::string& valueText, int* station,
                       std::function<void(Controller&)>* change);

// Writes every item that is not in its starting state (zero, a timer);
// register bytes one a line, relays within their MA bytes.
bool SaveMemory(const std::string& path, const Simulator& simulator, std::string* error);

}  // namespace kel::jwsim
