// The gateway's log: one line a message on standard error, with its level
// in the vocabulary all our programs share (tools/common/log_level.h).
// The driver's own messages are taken into it too.
#pragma once

#include <functional>
#include <string>

#include "tools/common/log_level.h"

namespace jwgate {

using LogLevel = kel::tools::LogLevel;

// Messages above this level are dropped; default kInfo.
void SetLogLevel(LogLevel level);
// "error", "warning", "info", "debug".
bool LogLevelNamed(const std::string& name, LogLevel* level);

// "jwgate: <level>: <text>"; thread-safe.
void Log(LogLevel level, const std::string& text);

// Also hands every line written to capture (for tests); empty to stop.
// Thread-safe. capture runs under the log's lock: it must not log.
using LogCapture = std::function<void(LogLevel level, const std::string& text)>;
void SetLogCapture(LogCapture capture);

// Sends the driver's messages to this log at the level LevelOfHostLog
// gives, the driver's message unchanged.
void TakeDriverMessages();

}  // namespace jwgate
