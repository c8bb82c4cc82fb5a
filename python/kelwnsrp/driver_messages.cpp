#include "python/kelwnsrp/driver_messages.h"

#include <cstdarg>
#include <cstdio>

#include "host/host_log.h"

namespace kelpy {
namespace {

// The link runs on the calling thread, so each thread keeps its own.
thread_local std::vector<std::string> messages;

int TakeMessage(int /*level*/, const char* format, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    messages.emplace_back(text);
    return 0;
}

}  // namespace

void TakeDriverMessages() { kel::SetHostErr(&TakeMessage); }

void ClearDriverMessages() { messages.clear(); }

std::string DriverMessages() {
    std::string joined;
    // Each attempt may log the same words: say them once.
    for (std::size_t i = 0; i < messages.size(); ++i) {
        if (i > 0 && messages[i] == messages[i - 1]) continue;
        joined += (joined.empty() ? "" : "; ") + messages[i];
    }
    return joined;
}

}  // namespace kelpy
