#include "tools/jwgate/core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

#include "host/host_log.h"

namespace jwgate {
namespace {

std::atomic<int> threshold {static_cast<int>(LogLevel::kInfo)};
std::mutex writing;
LogCapture capture;  // under writing

// The driver hands over a printf format and its arguments. The gateway
// counts the writes behind its write-reply messages and logs a write that
// fails in the end itself, so the shared mapping's debug suits them; the
// driver's lifecycle notes (info there) never come, as the gateway opens its
// lines itself.
int DriverErr(int level, const char* format, ...) {
    char text[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(kel::tools::LevelOfHostLog(level, text), text);
    return 0;
}

}  // namespace

void SetLogLevel(LogLevel level) { threshold.store(static_cast<int>(level)); }

bool LogLevelNamed(const std::string& name, LogLevel* level) { return kel::tools::LogLevelNamed(name, level); }

void Log(LogLevel level, const std::string& text) {
    if (static_cast<int>(level) > threshold.load()) return;
    const std::lock_guard<std::mutex> lock(writing);
    kel::tools::WriteLogLine("jwgate", level, text);
    if (capture) capture(level, text);
}

void SetLogCapture(LogCapture sink) {
    const std::lock_guard<std::mutex> lock(writing);
    capture = std::move(sink);
}

void TakeDriverMessages() { kel::SetHostErr(&DriverErr); }

}  // namespace jwgate
