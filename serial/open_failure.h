// A failed OpenPort in words for a person, as the gateway and the Python
// module both say it.
#pragma once

#include <string>

namespace kel {

// "cannot open port NAME: REASON": the system's own words for why the device
// did not open when OpenPort gave an errno value ("No such file or
// directory", "Device or resource busy"), else what the layer's result
// means ("it refused the line settings").
std::string OpenFailureText(const std::string& port, int result, int errorNumber);

}  // namespace kel
