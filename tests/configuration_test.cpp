// The configuration file read by the open command, in a scratch working
// directory: which value each kind of file gives, and what is logged.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>

#include "host/configuration.h"
#include "kelwnsrp.h"
#include "teskar.h"

namespace {

constexpr char kFound[] = "KELSRP: Configuration file KelwnSRP.int was found, using the defined values";
constexpr char kNotFound[] =
    "KELSRP: Configuration file KelwnSRP.int was not found, using default values";

class ConfigurationFile : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(getcwd(previous_, sizeof previous_), nullptr);
        char scratch[] = "/tmp/kel_configuration_XXXXXX";
        ASSERT_NE(mkdtemp(scratch), nullptr);
        directory_ = scratch;
        ASSERT_EQ(chdir(scratch), 0);
    }
    void TearDown() override {
        std::remove(kel::kConfigurationFileName);
        EXPECT_EQ(chdir(previous_), 0);
        rmdir(directory_.c_str());
    }

    static void WriteFile(const std::string& content) {
        std::FILE* file = std::fopen(kel::kConfigurationFileName, "wb");
        ASSERT_NE(file, nullptr);
        ASSERT_EQ(std::fwrite(content.data(), 1, content.size(), file), content.size());
        std::fclose(file);
    }

    // Opens the null device on state, as a host's open command does.
    static int32_t Open(DriverState* state) {
        OpenRequest block {"NUL", 1, 10, {9600, 7, 0, 0}};
        KelRequest request {state, KEL_CMD_OPEN, 0, 0, &block};
        const int32_t result = KelMain(&request);
        KelRequest close {state, KEL_CMD_CLOSE, 0, 0, nullptr};
        KelMain(&close);
        return result;
    }

    static std::int32_t WaitAfterOpeningWith(const std::string& content) {
        WriteFile(content);
        DriverState state {};
        EXPECT_EQ(Open(&state), KEL_OK);
        return kel::GetReplyWaitTime();
    }

    char previous_[PATH_MAX] = {};
    std::string directory_;
};

TEST_F(ConfigurationFile, BeforeAnyOpenTheWaitIsTheDefault) {
    // A fresh process: no open has read any file yet.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(std::exit(kel::GetReplyWaitTime() == 50 ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

TEST_F(ConfigurationFile, MissingFileLogsNotFoundAndGivesFifty) {
    DriverState state {};
    teskar_clear();
    ASSERT_EQ(Open(&state), KEL_OK);
    ASSERT_EQ(teskar_count(), 2);
    EXPECT_STREQ(teskar_text(0), "KELSRP: Loaded succesfully");
    EXPECT_STREQ(teskar_text(1), kNotFound);
    EXPECT_STREQ(teskar_format(1), kNotFound);
    EXPECT_EQ(teskar_level(1), 32);
    EXPECT_EQ(kel::GetReplyWaitTime(), 50);
}

TEST_F(ConfigurationFile, FoundFileIsLoggedAfterTheOpenMessage) {
    WriteFile("WAITINGTIME 200\n");
    DriverState state {};
    teskar_clear();
    ASSERT_EQ(Open(&state), KEL_OK);
    ASSERT_EQ(teskar_count(), 2);
    EXPECT_STREQ(teskar_text(0), "KELSRP: Loaded succesfully");
    EXPECT_STREQ(teskar_text(1), kFound);
    EXPECT_STREQ(teskar_format(1), kFound);
    EXPECT_EQ(teskar_level(1), 32);
}

struct FileCase {
    const char* what;
    std::string content;
    std::int32_t wait;
};
void PrintTo(const FileCase& c, std::ostream* os) { *os << c.what; }

class ConfigurationContent : public ConfigurationFile,
                             public ::testing::WithParamInterface<FileCase> {};

TEST_P(ConfigurationContent, GivesTheExpectedWait) {
    EXPECT_EQ(WaitAfterOpeningWith(GetParam().content), GetParam().wait) << GetParam().what;
}

const std::string k75Spaces(75, ' ');

INSTANTIATE_TEST_SUITE_P(
    Lines, ConfigurationContent,
    ::testing::Values(
        FileCase {"plain", "WAITINGTIME 200\n", 200},
        FileCase {"lower case key", "waitingtime 200\n", 200},
        FileCase {"tab, mixed case, two spaces, trailing text", "\tWaitingTime  200 ms\n", 200},
        FileCase {"no line end at the end of the file", "WAITINGTIME 7", 7},
        FileCase {"CR LF line ends", "FOO 1\r\nWAITINGTIME 120\r\nBAR 2\r\n", 120},
        FileCase {"empty file", "", 0},
        FileCase {"only unknown keys", "TIMEOUT 100\nWAIT 5\nWAITINGTIMES 9\n", 0},
        FileCase {"joined by an equals sign", "WAITINGTIME=100\n", 0},
        FileCase {"minus one wraps", "WAITINGTIME -1\n", 65535},
        FileCase {"above 16 bits wraps", "WAITINGTIME 70000\n", 4464},
        FileCase {"plus sign", "WAITINGTIME +300\n", 300},
        FileCase {"twenty digits keep their exact low 16 bits",
                  "WAITINGTIME 12345678901234567890\n", 2770},
        FileCase {"the later line wins", "WAITINGTIME 10\nWAITINGTIME 20\n", 20},
        FileCase {"a key without a number leaves the slot", "WAITINGTIME 10\nWAITINGTIME\n", 10},
        FileCase {"a key with only a sign leaves the slot", "WAITINGTIME 10\nWAITINGTIME -\n", 10},
        FileCase {"a key with letters leaves the slot", "WAITINGTIME 10\nWAITINGTIME abc\n", 10},
        FileCase {"a lone key gives 0", "WAITINGTIME\n", 0},
        FileCase {"key longer than 19 characters", "WAITINGTIMEWAITINGTIME 5\n", 0},
        FileCase {"blank and space-only lines", "\n   \n\t\nWAITINGTIME 33\n\n", 33},
        // 75 spaces and "WAIT" fill the first 79-character piece; the rest,
        // "INGTIME 300", is a piece of its own with an unknown key.
        FileCase {"key split by the 79-character cut", k75Spaces + "WAITINGTIME 300\n", 0},
        // The cut falls after the 79th character, so a key starting at the
        // 80th is the start of a piece.
        FileCase {"key starting the second piece", std::string(79, 'x') + "WAITINGTIME 44\n", 44},
        FileCase {"a 79-character line is read whole",
                  "WAITINGTIME" + std::string(64, ' ') + "1234\n", 1234},
        FileCase {"an 80-character line loses its last digit to the next piece",
                  "WAITINGTIME" + std::string(65, ' ') + "1234\n", 123},
        FileCase {"a line of 100000 characters", std::string(100000, 'x') + "\nWAITINGTIME 9\n", 9},
        FileCase {"bytes above 127 and control characters",
                  std::string("\xff\xfe\x01\x02 9\n\x1b[0mWAITINGTIME 8\nWAITING\x7fTIME 9\n"), 0},
        FileCase {"NUL bytes inside a line", std::string("WAITINGTIME 8\0 9\nX\0Y 1\n", 23), 8},
        FileCase {"upper-case letters above ASCII do not fold", "W\xc1ITINGTIME 5\n", 0}));

TEST_F(ConfigurationFile, FileRemovedBeforeTheNextOpenGivesFiftyAgain) {
    EXPECT_EQ(WaitAfterOpeningWith("WAITINGTIME 200\n"), 200);
    ASSERT_EQ(std::remove(kel::kConfigurationFileName), 0);
    DriverState state {};
    teskar_clear();
    ASSERT_EQ(Open(&state), KEL_OK);
    EXPECT_STREQ(teskar_text(1), kNotFound);
    EXPECT_EQ(kel::GetReplyWaitTime(), 50);
}

TEST_F(ConfigurationFile, TheLaterOpenOfTwoInstancesSetsTheWaitForBoth) {
    DriverState first {};
    DriverState second {};
    WriteFile("WAITINGTIME 100\n");
    ASSERT_EQ(Open(&first), KEL_OK);
    WriteFile("WAITINGTIME 300\n");
    ASSERT_EQ(Open(&second), KEL_OK);
    EXPECT_EQ(kel::GetReplyWaitTime(), 300);
}

TEST_F(ConfigurationFile, OnlyASuccessfulOpenReadsTheFile) {
    EXPECT_EQ(WaitAfterOpeningWith("WAITINGTIME 100\n"), 100);
    WriteFile("WAITINGTIME 300\n");
    DriverState state {};
    teskar_clear();
    OpenRequest disabled {"NUL", 0, 10, {9600, 7, 0, 0}};
    KelRequest request {&state, KEL_CMD_OPEN, 0, 0, &disabled};
    ASSERT_EQ(KelMain(&request), KEL_OK);
    OpenRequest missing {"no-such-tty", 1, 10, {9600, 7, 0, 0}};
    request.block = &missing;
    ASSERT_EQ(KelMain(&request), KEL_LINE_FAILURE);
    EXPECT_EQ(teskar_count(), 1);  // only the open failure
    EXPECT_EQ(kel::GetReplyWaitTime(), 100);
}

TEST_F(ConfigurationFile, ADirectoryOfThatNameCountsAsNotFound) {
    ASSERT_EQ(mkdir(kel::kConfigurationFileName, 0700), 0);
    DriverState state {};
    teskar_clear();
    ASSERT_EQ(Open(&state), KEL_OK);
    EXPECT_STREQ(teskar_text(1), kNotFound);
    EXPECT_EQ(kel::GetReplyWaitTime(), 50);
    rmdir(kel::kConfigurationFileName);
}

TEST_F(ConfigurationFile, RandomContentGivesAValueWithinSixteenBits) {
    // Whatever the bytes, reading must stay within its buffers (checked by
    // the sanitizer build) and end with a 16-bit value.
    std::mt19937 random(1234);
    for (int round = 0; round < 200; ++round) {
        std::string content(random() % 400, '\0');
        for (char& c : content) c = static_cast<char>(random() % 256);
        if (round % 2 == 0) content.insert(random() % (content.size() + 1), "WAITINGTIME ");
        const std::int32_t wait = WaitAfterOpeningWith(content);
        EXPECT_GE(wait, 0);
        EXPECT_LE(wait, 65535);
    }
}

}  // namespace
