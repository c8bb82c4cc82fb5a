// The one logging vocabulary of our programs: whatever jwgate, kelhost and
// jwsim write on standard error is a line "<program>: <level>: <text>", the
// level one of error, warning, info, debug. The driver logs with numeric
// levels of its own; LevelOfHostLog is the one place they become these.
#pragma once

#include <string>
#include <string_view>

namespace kel::tools {

enum class LogLevel { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

// "error", "warning", "info", "debug".
const char* LogLevelName(LogLevel level);
bool LogLevelNamed(const std::string& name, LogLevel* level);

// The driver's messages (its numeric level and the text it logged) in this
// vocabulary. The rule: a healthy run shows no warning, and every problem
// does.
// - Level 8 marks the two write-reply messages, which come with every write
//   a write-protected controller takes only in write mode: detail, so debug.
// - Level 32 carries the driver's lifecycle notes along with its refusals
//   and line failures. The notes come with every healthy run ("Loaded
//   succesfully", "Warm start", and whether the configuration file
//   KelwnSRP.int was found): they are info, known by their fixed texts
//   (the driver's messages stay as they are). Everything else at 32 (a gate
//   address refused, a port not opened, a status error, a value out of
//   range) is a warning, and so is any other level.
// A program shows warnings and errors by default and info and debug on
// request (kelhost --verbose, jwgate --log-level).
LogLevel LevelOfHostLog(int hostLevel, std::string_view text);

// "<program>: <level>: <text>" with its newline.
std::string LogLine(const std::string& program, LogLevel level, const std::string& text);
// Writes that line to standard error in one call.
void WriteLogLine(const std::string& program, LogLevel level, const std::string& text);

}  // namespace kel::tools
