// The driver's numeric host-log levels in the vocabulary our programs print.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "host/configuration.h"
#include "kelwnsrp.h"
#include "teskar.h"
#include "tools/common/log_level.h"

namespace {

using kel::tools::LogLevel;

TEST(LogLevel, DriverLevelsMapToTheSharedVocabulary) {
    const struct {
        int hostLevel;
        const char* text;
        LogLevel level;
        const char* line;
    } cases[] = {
        {KEL_LOG_LEVEL_WRITE_REPLY, "KELSRP: Incorrect reply string to Write.", LogLevel::kDebug,
         "kelhost: debug: KELSRP: Incorrect reply string to Write.\n"},
        {KEL_LOG_LEVEL_INFO, "KELSRP: Incorrect reply string to Write.", LogLevel::kWarning,
         "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
        {0, "KELSRP: Incorrect reply string to Write.", LogLevel::kWarning,
         "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
        {16, "KELSRP: Incorrect reply string to Write.", LogLevel::kWarning,
         "kelhost: warning: KELSRP: Incorrect reply string to Write.\n"},
        // The lifecycle notes of a healthy run are info at the driver's info level only.
        {KEL_LOG_LEVEL_INFO, "KELSRP: Loaded succesfully", LogLevel::kInfo, "kelhost: info: KELSRP: Loaded succesfully\n"},
        {KEL_LOG_LEVEL_INFO, "KELSRP: Warm start", LogLevel::kInfo, "kelhost: info: KELSRP: Warm start\n"},
        {16, "KELSRP: Loaded succesfully", LogLevel::kWarning, "kelhost: warning: KELSRP: Loaded succesfully\n"},
        // Only the whole text: a message that merely begins like a note is not one.
        {KEL_LOG_LEVEL_INFO, "KELSRP: Warm start failed", LogLevel::kWarning,
         "kelhost: warning: KELSRP: Warm start failed\n"},
        {KEL_LOG_LEVEL_INFO, "", LogLevel::kWarning, "kelhost: warning: \n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.hostLevel) + " " + c.text);
        const LogLevel level = kel::tools::LevelOfHostLog(c.hostLevel, c.text);
        EXPECT_EQ(level, c.level);
        EXPECT_EQ(kel::tools::LogLine("kelhost", level, c.text), c.line);
    }
}

// Runs host commands on the null device in a scratch directory, with or
// without a configuration file, and keeps what the driver logged.
class DriverMessages : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        char scratch[] = "/tmp/kel_log_level_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        directory_ = scratch;
        ASSERT_EQ(chdir(scratch), 0);
        teskar_clear();
    }
    void TearDown() override {
        std::remove(kel::kConfigurationFileName);
        EXPECT_EQ(chdir(previous_), 0);
        rmdir(directory_.c_str());
    }

    static std::int32_t Call(DriverState* state, std::int32_t command, void* block) {
        KelRequest request {state, command, 0, 0, block};
        return KelMain(&request);
    }

    // The level each message logged since the last clear maps to, by text.
    static std::vector<std::pair<std::string, LogLevel>> Mapped() {
        std::vector<std::pair<std::string, LogLevel>> mapped;
        for (int i = 0; i < teskar_count(); ++i) {
            mapped.emplace_back(teskar_text(i), kel::tools::LevelOfHostLog(teskar_level(i), teskar_text(i)));
        }
        teskar_clear();
        return mapped;
    }

    char previous_[PATH_MAX] = {};
    std::string directory_;
};

TEST_F(DriverMessages, AHealthyRunLogsOnlyInfoAndEveryProblemIsAWarning) {
    using Messages = std::vector<std::pair<std::string, LogLevel>>;
    DriverState state {};
    OpenRequest open {"NUL", 1, 10, {9600, 7, 0, 0}};
    ASSERT_EQ(Call(&state, KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(Mapped(), (Messages {{"KELSRP: Loaded succesfully", LogLevel::kInfo},
                                   {"KELSRP: Configuration file KelwnSRP.int was not found, using default values",
                                    LogLevel::kInfo}}));
    ASSERT_EQ(Call(&state, KEL_CMD_WARM_START, nullptr), KEL_OK);
    EXPECT_EQ(Mapped(), (Messages {{"KELSRP: Warm start", LogLevel::kInfo}}));
    ASSERT_EQ(Call(&state, KEL_CMD_CLOSE, nullptr), KEL_OK);

    std::FILE* file = std::fopen(kel::kConfigurationFileName, "w");
    ASSERT_NE(file, nullptr);
    std::fputs("WAITINGTIME 0\n", file);
    std::fclose(file);
    ASSERT_EQ(Call(&state, KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(Mapped(), (Messages {{"KELSRP: Loaded succesfully", LogLevel::kInfo},
                                   {"KELSRP: Configuration file KelwnSRP.int was found, using the defined values",
                                    LogLevel::kInfo}}));
    ASSERT_EQ(Call(&state, KEL_CMD_CLOSE, nullptr), KEL_OK);

    // Problems: a gate address refused, a port that cannot be opened.
    GateCheckRequest check {"01MA1600", 0, KEL_VALUE_ANALOG16, 1, 0, {}};
    EXPECT_NE(Call(nullptr, KEL_CMD_CHECK_GATE, &check), KEL_OK);
    EXPECT_EQ(Mapped(), (Messages {{"KELSRP: Gate address 01MA1600 not valid", LogLevel::kWarning}}));
    OpenRequest missing {"ttyKEL99", 1, 10, {9600, 7, 0, 0}};
    EXPECT_NE(Call(&state, KEL_CMD_OPEN, &missing), KEL_OK);
    const Messages failed = Mapped();
    ASSERT_EQ(failed.size(), 1u);
    EXPECT_EQ(failed[0].second, LogLevel::kWarning) << failed[0].first;
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
