// The gateway's log: one line a message on standard error, with its level.
// The driver's own messages are taken into it too.
#pragma once

#include <string>

namespace jwgate {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// Messages above this level are dropped; default kInfo.
void SetLogLevel(LogLevel level);
// "error", "warning", "info", "debug".
bool LogLevelNamed(const std::string& name, LogLevel* level);

// "jwgate: <level>: <text>"; thread-safe.
void Log(LogLevel level, const std::string& text);

// Sends the driver's messages to this log (as warnings, the driver's
// message unchanged), except those a DriverMessageCapture on the same
// thread takes.
void TakeDriverMessages();

// While it lives, the driver's messages on this thread are kept, not
// logged: a gate address check's refusal becomes part of a configuration
// error.
class DriverMessageCapture {
public:
    DriverMessageCapture();
    ~DriverMessageCapture();
    DriverMessageCapture(const DriverMessageCapture&) = delete;
    DriverMessageCapture& operator=(const DriverMessageCapture&) = delete;
    // The last message, or empty.
    const std::string& last() const { return last_; }

private:
    friend int CapturedErr(int, const char*, ...);
    std::string last_;
    DriverMessageCapture* outer_;
};

}  // namespace jwgate
