// The one logging vocabulary of our programs: whatever jwgate, kelhost and
// jwsim write on standard error is a line "<program>: <level>: <text>", the
// level one of error, warning, info, debug. The driver logs with numeric
// levels of its own; LevelOfHostLog is the one place they become these.
#pragma once

#include <string>

namespace kel::tools {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// "error", "warning", "info", "debug".
const char* LogLevelName(LogLevel level);
bool LogLevelNamed(const std::string& name, LogLevel* level);

// The driver's level 8 marks the two write-reply messages, which come with
// every write a write-protected controller takes only in write mode: detail,
// so debug. Its level 32 carries refusals and line failures along with its
// lifecycle notes, so it and any other level are warnings.
LogLevel LevelOfHostLog(int hostLevel);

// "<program>: <level>: <text>" with its newline.
std::string LogLine(const std::string& program, LogLevel level, const std::string& text);
// Writes that line to standard error in one call.
void WriteLogLine(const std::string& program, LogLevel level, const std::string& text);

}  // namespace kel::tools
