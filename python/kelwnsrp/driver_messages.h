// The messages the driver's layers log while a call runs on this thread,
// taken instead of going to standard error, so that an exception can carry
// them.
#pragma once

#include <string>
#include <vector>

namespace kelpy {

// Routes the driver's messages here; once, when the module loads.
void TakeDriverMessages();

// Forgets this thread's messages; the start of each call.
void ClearDriverMessages();
// This thread's messages since the last clear, "; " between them.
std::string DriverMessages();

}  // namespace kelpy
