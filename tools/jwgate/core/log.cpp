#include "tools/jwgate/core/log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

#include "host/host_log.h"

namespace jwgate {
namespace {

constexpr const char* kLevelNames[] = {"error", "warning", "info", "debug"};

std::atomic<int> threshold {static_cast<int>(LogLevel::kInfo)};
std::mutex writing;
LogCapture capture;  // under writing

// The driver hands over a printf format and its arguments. Its two
// write-reply messages come with every write a protected controller takes
// only in write mode, which the gateway counts; a write that fails in the
// end is logged by the gateway itself. So they are detail, not warnings.
int DriverErr(int level, const char* format, ...) {
    char text[512];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    Log(level == kel::kLogWriteReply ? LogLevel::kDebug : LogLevel::kWarning, text);
    return 0;
}

}  // namespace

void SetLogLevel(LogLevel level) { threshold.store(static_cast<int>(level)); }

bool LogLevelNamed(const std::string& name, LogLevel* level) {
    for (int i = 0; i < 4; ++i) {
        if (name == kLevelNames[i]) {
            *level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

void Log(LogLevel level, const std::string& text) {
    if (static_cast<int>(level) > threshold.load()) return;
    const std::lock_guard<std::mutex> lock(writing);
    std::fprintf(stderr, "jwgate: %s: %s\n", kLevelNames[static_cast<int>(level)], text.c_str());
    if (capture) capture(level, text);
}

void SetLogCapture(LogCapture sink) {
    const std::lock_guard<std::mutex> lock(writing);
    capture = std::move(sink);
}

void TakeDriverMessages() { kel::SetHostErr(&DriverErr); }

}  // namespace jwgate
