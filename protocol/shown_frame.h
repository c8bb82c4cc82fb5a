// A frame as people read it in a trace: printable characters as they are,
// CR, LF and backslash as \r, \n and \\, any other byte as \xNN.
#pragma once

#include <string>

namespace kel {

std::string ShownFrame(const char* bytes, int count);

}  // namespace kel
