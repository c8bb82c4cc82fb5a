#include "tools/common/log_level.h"

#include <cstdio>

namespace kel::tools {
namespace {

constexpr const char* kLevelNames[] = {"error", "warning", "info", "debug"};

// The driver's own numbers (KEL_LOG_LEVEL_* in kelwnsrp.h); the mapping's
// test holds them to the header.
constexpr int kHostLogWriteReply = 8;
constexpr int kHostLogInfo = 32;

// The driver's lifecycle notes, as it logs them (commands/lifecycle.cpp,
// host/configuration.cpp); the mapping's test holds them to the driver's
// own messages.
constexpr std::string_view kLifecycleNotes[] = {
    "KELSRP: Loaded succesfully",
    "KELSRP: Warm start",
    "KELSRP: Configuration file KelwnSRP.int was found, using the defined values",
    "KELSRP: Configuration file KelwnSRP.int was not found, using default values",
};

}  // namespace

const char* LogLevelName(LogLevel level) { return kLevelNames[static_cast<int>(level)]; }

bool LogLevelNamed(const std::string& name, LogLevel* level) {
    for (int i = 0; i < 4; ++i) {
        if (name == kLevelNames[i]) {
            *level = static_cast<LogLevel>(i);
            return true;
        }
    }
    return false;
}

LogLevel LevelOfHostLog(int hostLevel, std::string_view text) {
    if (hostLevel == kHostLogWriteReply) return LogLevel::kDebug;
    if (hostLevel == kHostLogInfo) {
        for (const std::string_view note : kLifecycleNotes) {
            if (text == note) return LogLevel::kInfo;
        }
    }
    return LogLevel::kWarning;
}

std::string LogLine(const std::string& program, LogLevel level, const std::string& text) {
    return program + ": " + LogLevelName(level) + ": " + text + "\n";
}

void WriteLogLine(const std::string& program, LogLevel level, const std::string& text) {
    const std::string line = LogLine(program, level, text);
    std::fputs(line.c_str(), stderr);
}

}  // namespace kel::tools
