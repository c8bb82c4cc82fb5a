// The driver's numeric host-log levels in the vocabulary our programs print.
#include <gtest/gtest.h>

#include "kelwnsrp.h"
#include "tools/common/log_level.h"

namespace {

using kel::tools::LogLevel;

TEST(LogLevel, DriverLevelsMapToTheSharedVocabulary) {
    const struct {
        int hostLevel;
        LogLevel level;
        const char* line;
    } cases[] = {
        {KEL_LOG_LEVEL_WRITE_REPLY, LogLevel::kDebug, "kelhost: debug: KELSRP: Incorrect reply string to Write.\n"},
        {KEL_LOG_LEVEL_INFO, LogLevel::kWarning, "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
        {0, LogLevel::kWarning, "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
        {16, LogLevel::kWarning, "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.hostLevel);
        const LogLevel level = kel::tools::LevelOfHostLog(c.hostLevel);
        EXPECT_EQ(level, c.level);
        EXPECT_EQ(kel::tools::LogLine("kelhost", level, "KELSRP: Incorrect reply string to Write."), c.line);
    }
}

TEST(LogLevel, NamesAreTheOnesAnOptionTakes) {
    for (const char* name : {"error", "warning", "info", "debug"}) {
        LogLevel level = LogLevel::kError;
        ASSERT_TRUE(kel::tools::LogLevelNamed(name, &level)) << name;
        EXPECT_STREQ(kel::tools::LogLevelName(level), name);
    }
    LogLevel level = LogLevel::kInfo;
    EXPECT_FALSE(kel::tools::LogLevelNamed("notice", &level));
    EXPECT_FALSE(kel::tools::LogLevelNamed("Info", &level));
    EXPECT_EQ(level, LogLevel::kInfo);
}

}  // namespace
