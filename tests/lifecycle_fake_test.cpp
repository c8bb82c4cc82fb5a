// The port lifecycle commands as a host drives them through KelMain, with the
// recording serial platform behind the port layer and the stand-in host
// library catching every message.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "serial/serial_platform.h"
#include "support/fake_serial_platform.h"
#include "teskar.h"

namespace {

using kel::CommState;
using kel::PortHandle;
using kel::test_support::CallRecord;
using kel::test_support::FakeSerialPlatform;
using kel::test_support::PlatformCall;
using Calls = std::vector<std::string>;

struct Logged {
    int level;
    std::string text;
    std::string format;
    bool operator==(const Logged&) const = default;
};

void PrintTo(const Logged& m, std::ostream* out) {
    *out << "[" << m.level << "] \"" << m.text << "\" (format \"" << m.format << "\")";
}

std::vector<Logged> HostMessages() {
    std::vector<Logged> messages;
    for (int i = 0; i < teskar_count(); ++i) {
        messages.push_back(Logged {teskar_level(i), teskar_text(i), teskar_format(i)});
    }
    return messages;
}

const Logged kLoaded {KEL_LOG_LEVEL_INFO, "KELSRP: Loaded succesfully",
                      "KELSRP: Loaded succesfully"};
// Tests run where no configuration file lies, so a successful open ends with:
const Logged kNoConfiguration {
    KEL_LOG_LEVEL_INFO,
    "KELSRP: Configuration file KelwnSRP.int was not found, using default values",
    "KELSRP: Configuration file KelwnSRP.int was not found, using default values"};
const Logged kWarmStart {KEL_LOG_LEVEL_INFO, "KELSRP: Warm start", "KELSRP: Warm start"};

Logged FailToOpen(const std::string& name) {
    return {KEL_LOG_LEVEL_INFO, "KELSharp PLC : Fail to open " + name, "KEL%s : Fail to open %s"};
}

constexpr LineSettings kLine {19200, 8, 2, 1};
const std::string kLineText = "19200/8/2/1";

const Calls kCom1Configure = {
    "OpenDevice COM1", "GetState", "SetTimeouts 0/0/1000/0/0", "SetState 19200/8/2/1",
    "SetQueueSizes 1200 1200",
};

Calls Concat(Calls head, const Calls& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

// Copies at most the 12 bytes of the field; a longer name leaves no NUL.
void SetName(char (&field)[KEL_PORT_NAME_SIZE], const char* name) {
    std::memset(field, 0, sizeof field);
    std::memcpy(field, name, std::min(std::strlen(name), sizeof field));
}

OpenRequest MakeOpen(const char* name, std::uint32_t enable = 1, std::uint32_t linkTimeout = 30,
                     LineSettings line = kLine) {
    OpenRequest open;
    std::memset(&open, 0, sizeof open);
    SetName(open.portName, name);
    open.enable = enable;
    open.LinkTimeout = linkTimeout;
    open.line = line;
    return open;
}

ChangePortRequest MakeChange(const char* name, std::uint32_t linkTimeout, LineSettings line) {
    ChangePortRequest change;
    std::memset(&change, 0, sizeof change);
    SetName(change.portName, name);
    change.LinkTimeout = linkTimeout;
    change.line = line;
    return change;
}

bool SameLine(const LineSettings& a, const LineSettings& b) {
    return a.baudRate == b.baudRate && a.dataBits == b.dataBits && a.stopBits == b.stopBits &&
           a.parity == b.parity;
}

// Field by field: the 64-bit record has padding that a copy need not keep.
void ExpectSameState(const DriverState& actual, const DriverState& expected) {
    EXPECT_EQ(actual.LinkTimeout, expected.LinkTimeout);
    EXPECT_EQ(actual.portHandle, expected.portHandle);
    EXPECT_EQ(actual.portOpen, expected.portOpen);
    EXPECT_EQ(std::memcmp(&actual.portSettings, &expected.portSettings, sizeof(PortSettings)), 0)
        << "PortSettings changed";
    EXPECT_EQ(actual.WriteEnablePending, expected.WriteEnablePending);
}

class LifecycleFake : public ::testing::Test {
protected:
    void SetUp() override {
        kel::UseSerialPlatform(&fake_);
        teskar_clear();
        fake_.AddDevice("COM1");
        fake_.AddDevice("COM2");
        fake_.AddDevice("NUL");
        std::memset(&state_, 0, sizeof state_);
    }
    void TearDown() override { kel::UseSerialPlatform(nullptr); }

    std::int32_t Call(std::int32_t command, void* block = nullptr) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }

    // COM1 opened through command 1 with kLine and LinkTimeout 30; the call
    // log and the host log start empty after it.
    void OpenCom1(std::uint32_t enable = 1) {
        OpenRequest open = MakeOpen("COM1", enable);
        ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
        ASSERT_NE(state_.portHandle, nullptr);
        ASSERT_EQ(state_.portHandle, fake_.HandleOf("COM1"));
        fake_.ClearLog();
        teskar_clear();
    }

    std::uint32_t ReadTimeoutMs(const std::string& device) {
        return fake_.Device(device).timeouts.readTotalTimeoutConstant;
    }

    DriverState state_;
    FakeSerialPlatform fake_;
};

// ---- open (1) ---------------------------------------------------------------

using LifecycleFakeOpen = LifecycleFake;

TEST_F(LifecycleFakeOpen, EnableZeroOnlyRecordsThatTheInstanceIsUnused) {
    state_.portOpen = 1;
    state_.LinkTimeout = 77;
    state_.WriteEnablePending = 1;
    SetName(state_.portSettings.portName, "COM2");
    DriverState expected = state_;
    expected.portOpen = 0;

    OpenRequest open = MakeOpen("COM1", 0);
    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.Log().empty());
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeOpen, EnableZeroLeavesAHeldPortAlone) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    DriverState expected = state_;
    expected.portOpen = 0;
    OpenRequest open = MakeOpen("COM2", 0);
    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.Log().empty());
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeOpen, SuccessStoresHandleTimeoutAndSettingsAndLogsLoaded) {
    state_.WriteEnablePending = 1;
    SetName(state_.portSettings.portName, "OLD");
    state_.portSettings.line = LineSettings {1200, 5, 1, 3};
    state_.portSettings.handshakeFlags = 0x1234;  // would switch RTS on if it were used

    OpenRequest open = MakeOpen("COM1", 1, 30, kLine);
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);

    EXPECT_NE(state_.portHandle, nullptr);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM1"));
    EXPECT_EQ(state_.portOpen, 1u);
    EXPECT_EQ(state_.LinkTimeout, 30u);
    EXPECT_STREQ(state_.portSettings.portName, "COM1");
    EXPECT_TRUE(SameLine(state_.portSettings.line, kLine));
    EXPECT_EQ(state_.portSettings.handshakeFlags, 8);
    EXPECT_EQ(state_.WriteEnablePending, 0);

    EXPECT_EQ(fake_.Calls(), Concat(kCom1Configure, {"GetTimeouts", "SetTimeouts 0/0/300/0/0"}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 300u);
    const CommState& line = fake_.Device("COM1").state;
    EXPECT_EQ(line.dtrControl, kel::kDtrControlDisable);
    EXPECT_EQ(line.rtsControl, kel::kRtsControlDisable);
    EXPECT_EQ(HostMessages(), (std::vector<Logged> {kLoaded, kNoConfiguration}));
}

TEST_F(LifecycleFakeOpen, EnableValueIsStoredAsGiven) {
    OpenRequest open = MakeOpen("COM1", 7);
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(state_.portOpen, 7u);
}

TEST_F(LifecycleFakeOpen, NullDeviceGetsTheLinkTimeoutButNoLineConfiguration) {
    OpenRequest open = MakeOpen("NUL", 1, 30);
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(fake_.Calls(),
              (Calls {"OpenDevice NUL", "GetTimeouts", "SetTimeouts 0/0/300/0/0"}));
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("NUL"));
    EXPECT_EQ(HostMessages(), (std::vector<Logged> {kLoaded, kNoConfiguration}));
}

struct LinkTimeoutCase {
    std::uint32_t linkTimeout;
    Calls tail;
    std::uint32_t ms;
};

class LifecycleFakeOpenLinkTimeout : public LifecycleFake,
                                     public ::testing::WithParamInterface<LinkTimeoutCase> {};

TEST_P(LifecycleFakeOpenLinkTimeout, SetsTheReadTimeoutToTenMsPerUnit) {
    const LinkTimeoutCase& c = GetParam();
    OpenRequest open = MakeOpen("COM1", 1, c.linkTimeout);
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(fake_.Calls(), Concat(kCom1Configure, c.tail));
    EXPECT_EQ(ReadTimeoutMs("COM1"), c.ms);
    EXPECT_EQ(state_.LinkTimeout, c.linkTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Units, LifecycleFakeOpenLinkTimeout,
    ::testing::Values(LinkTimeoutCase {30, {"GetTimeouts", "SetTimeouts 0/0/300/0/0"}, 300},
                      // Equal to the open's 1000 ms: read, nothing written.
                      LinkTimeoutCase {100, {"GetTimeouts"}, 1000},
                      // 0 would mean no timeout at all: the open's 1000 ms stay.
                      LinkTimeoutCase {0, {"GetTimeouts"}, 1000},
                      // Milliseconds beyond 32 bits saturate instead of wrapping.
                      LinkTimeoutCase {0x1999999A, {"GetTimeouts", "SetTimeouts 0/0/4294967290/0/0"},
                                       4294967290u},
                      LinkTimeoutCase {6553, {"GetTimeouts", "SetTimeouts 0/0/65530/0/0"},
                                       65530}),
    [](const ::testing::TestParamInfo<LinkTimeoutCase>& info) {
        return "LinkTimeout" + std::to_string(info.param.linkTimeout);
    });

TEST_F(LifecycleFakeOpen, FailingOpenOfCom7LogsTheDriverAndPortNameAndChangesNothingElse) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    state_.WriteEnablePending = 1;
    DriverState expected = state_;
    expected.portOpen = 5;

    OpenRequest open = MakeOpen("COM7", 5, 99, LineSettings {4800, 7, 0, 2});
    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_LINE_FAILURE);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {FailToOpen("COM7")});
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM7"});
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 300u);
}

struct OpenFailureCase {
    const char* name;
    const char* port;
    bool failCall;
    PlatformCall failing;
    Calls calls;
};

class LifecycleFakeOpenFailure : public LifecycleFake,
                                 public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(LifecycleFakeOpenFailure, EveryOpenPortFailureIsTheSameLoggedLineFailure) {
    const OpenFailureCase& c = GetParam();
    if (c.failCall) fake_.Fail(c.failing);
    state_.LinkTimeout = 12;
    state_.WriteEnablePending = 1;
    SetName(state_.portSettings.portName, "COM1");
    state_.portSettings.handshakeFlags = 8;
    DriverState expected = state_;
    expected.portOpen = 1;

    OpenRequest open = MakeOpen(c.port, 1, 30);
    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_LINE_FAILURE);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {FailToOpen(c.port)});
    EXPECT_EQ(fake_.Calls(), c.calls);
    ExpectSameState(state_, expected);
    EXPECT_FALSE(fake_.IsOpen(c.port));
}

INSTANTIATE_TEST_SUITE_P(
    Causes, LifecycleFakeOpenFailure,
    ::testing::Values(
        OpenFailureCase {"NoSuchDevice", "COM7", false, PlatformCall::OpenDevice,
                         {"OpenDevice COM7"}},
        OpenFailureCase {"OpenRefused", "COM2", true, PlatformCall::OpenDevice,
                         {"OpenDevice COM2"}},
        OpenFailureCase {"StateUnreadable", "COM2", true, PlatformCall::GetState,
                         {"OpenDevice COM2", "GetState", "CloseDevice COM2"}},
        OpenFailureCase {"TimeoutsRefused", "COM2", true, PlatformCall::SetTimeouts,
                         {"OpenDevice COM2", "GetState", "SetTimeouts 0/0/1000/0/0",
                          "CloseDevice COM2"}},
        OpenFailureCase {"LineRefused", "COM2", true, PlatformCall::SetState,
                         {"OpenDevice COM2", "GetState", "SetTimeouts 0/0/1000/0/0",
                          "SetState 19200/8/2/1", "CloseDevice COM2"}}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return info.param.name; });

TEST_F(LifecycleFakeOpen, SecondOpenOfTheHeldDeviceFailsAndKeepsTheHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const PortHandle held = state_.portHandle;
    OpenRequest open = MakeOpen("COM1", 1, 45);
    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_LINE_FAILURE);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {FailToOpen("COM1")});
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
    EXPECT_EQ(state_.portHandle, held);
    EXPECT_EQ(state_.LinkTimeout, 30u);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
}

TEST_F(LifecycleFakeOpen, OpeningAnotherDeviceClosesTheSupersededHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const PortHandle first = state_.portHandle;
    OpenRequest open = MakeOpen("COM2", 1, 30);
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM2"));
    EXPECT_FALSE(fake_.IsOpen("COM1"));

    const Calls calls = fake_.Calls();
    ASSERT_EQ(calls.size(), 8u);
    // The new port is configured first; only then is the old one let go.
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 5),
              (Calls {"OpenDevice COM2", "GetState", "SetTimeouts 0/0/1000/0/0",
                      "SetState 19200/8/2/1", "SetQueueSizes 1200 1200"}));
    const std::vector<CallRecord> closes = fake_.CallsOf(PlatformCall::CloseDevice);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, first);
    EXPECT_TRUE(closes[0].ok);
    EXPECT_EQ(HostMessages(), (std::vector<Logged> {kLoaded, kNoConfiguration}));
}

TEST_F(LifecycleFakeOpen, OpeningTheNullDeviceAgainClosesTheFirstHandle) {
    OpenRequest open = MakeOpen("NUL");
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    const PortHandle first = state_.portHandle;
    fake_.ClearLog();
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_NE(state_.portHandle, first);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("NUL"));
    const std::vector<CallRecord> closes = fake_.CallsOf(PlatformCall::CloseDevice);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, first);
    EXPECT_EQ(fake_.Device("NUL").openCount, 1);
}

// ---- warm start (2) ---------------------------------------------------------

using LifecycleFakeWarmStart = LifecycleFake;

TEST_F(LifecycleFakeWarmStart, WithoutAPortLogsAndClearsThePendingWriteOnly) {
    state_.LinkTimeout = 30;
    state_.portOpen = 1;
    state_.WriteEnablePending = 1;
    SetName(state_.portSettings.portName, "COM1");
    DriverState expected = state_;
    expected.WriteEnablePending = 0;

    EXPECT_EQ(Call(KEL_CMD_WARM_START), KEL_OK);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {kWarmStart});
    EXPECT_TRUE(fake_.Log().empty());
    ExpectSameState(state_, expected);
}

TEST_F(LifecycleFakeWarmStart, WithAPortPurgesWaitingInputAndRestoresTheLinkTimeout) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    state_.WriteEnablePending = 1;
    fake_.QueueInput("COM1", std::vector<std::uint8_t>(700, 0x55));

    EXPECT_EQ(Call(KEL_CMD_WARM_START), KEL_OK);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0",
                                     "Read 512", "Read 512", "GetTimeouts",
                                     "SetTimeouts 0/0/300/0/0"}));
    EXPECT_TRUE(fake_.Device("COM1").waiting.empty());
    EXPECT_EQ(ReadTimeoutMs("COM1"), 300u);
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM1"));
    EXPECT_EQ(HostMessages(), std::vector<Logged> {kWarmStart});
}

TEST_F(LifecycleFakeWarmStart, WithAPortAndNothingWaitingOnlyAsks) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    EXPECT_EQ(Call(KEL_CMD_WARM_START), KEL_OK);
    EXPECT_EQ(fake_.Calls(), Calls {"ClearError"});
    EXPECT_EQ(HostMessages(), std::vector<Logged> {kWarmStart});
}

TEST_F(LifecycleFakeWarmStart, FailingPurgeStillSucceeds) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    state_.WriteEnablePending = 1;
    fake_.QueueInput("COM1", {1, 2, 3});
    fake_.Fail(PlatformCall::Read, FakeSerialPlatform::kAlways);
    EXPECT_EQ(Call(KEL_CMD_WARM_START), KEL_OK);
    EXPECT_EQ(fake_.CallsOf(PlatformCall::Read).size(), 1u);
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {kWarmStart});
}

// ---- close (11 and 12) ------------------------------------------------------

class LifecycleFakeClose : public LifecycleFake,
                           public ::testing::WithParamInterface<std::int32_t> {};

TEST_P(LifecycleFakeClose, ClosedInstanceReturnsZeroAndCallsNothing) {
    state_.LinkTimeout = 30;
    state_.portOpen = 1;
    SetName(state_.portSettings.portName, "COM1");
    const DriverState expected = state_;
    EXPECT_EQ(Call(GetParam()), KEL_OK);
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.Log().empty());
    EXPECT_TRUE(HostMessages().empty());
}

TEST_P(LifecycleFakeClose, ClosesTheHeldPortKeepsTheSettingsAndSecondCloseIsANoOp) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
    DriverState expected = state_;
    expected.portHandle = nullptr;

    EXPECT_EQ(Call(GetParam()), KEL_OK);
    EXPECT_EQ(fake_.Calls(), Calls {"CloseDevice COM1"});
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    ExpectSameState(state_, expected);  // port-open flag 3, settings and LinkTimeout kept

    EXPECT_EQ(Call(GetParam()), KEL_OK);
    EXPECT_EQ(fake_.Calls(), Calls {"CloseDevice COM1"});
    ExpectSameState(state_, expected);
    EXPECT_TRUE(HostMessages().empty());
}

TEST_P(LifecycleFakeClose, RefusedCloseReturnsTwoAndKeepsTheHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const DriverState expected = state_;
    fake_.Fail(PlatformCall::CloseDevice);

    EXPECT_EQ(Call(GetParam()), KEL_LINE_FAILURE);
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());

    // The kept handle is still the port's: the next close goes through.
    EXPECT_EQ(Call(GetParam()), KEL_OK);
    EXPECT_EQ(state_.portHandle, nullptr);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_EQ(fake_.Calls(), (Calls {"CloseDevice COM1", "CloseDevice COM1"}));
}

INSTANTIATE_TEST_SUITE_P(Codes, LifecycleFakeClose,
                         ::testing::Values(KEL_CMD_CLOSE_ALT, KEL_CMD_CLOSE),
                         [](const ::testing::TestParamInfo<std::int32_t>& info) {
                             return "Command" + std::to_string(info.param);
                         });

// ---- reopen (13) ------------------------------------------------------------

class LifecycleFakeReopen : public LifecycleFake {
protected:
    // COM1 opened with enable 3, then closed; logs empty.
    void OpenAndCloseCom1() {
        ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
        ASSERT_EQ(Call(KEL_CMD_CLOSE), KEL_OK);
        fake_.ClearLog();
    }
};

TEST_F(LifecycleFakeReopen, OpensWithTheStoredSettingsAndTheOpenDefaultTimeout) {
    ASSERT_NO_FATAL_FAILURE(OpenAndCloseCom1());
    const CommState firstLine = fake_.Device("COM1").state;
    fake_.Device("COM1").state = FakeSerialPlatform::DistinctiveState();  // forget it
    DriverState expected = state_;
    expected.portOpen = 1;

    ASSERT_EQ(Call(KEL_CMD_REOPEN), KEL_OK);
    expected.portHandle = fake_.HandleOf("COM1");
    EXPECT_NE(expected.portHandle, nullptr);
    ExpectSameState(state_, expected);  // LinkTimeout 30 and the settings untouched
    // No GetTimeouts/SetTimeouts after the open: LinkTimeout is not applied.
    EXPECT_EQ(fake_.Calls(), kCom1Configure);
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
    EXPECT_EQ(fake_.Device("COM1").state, firstLine);
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeReopen, UsesTheStoredHandshakeFlags) {
    ASSERT_NO_FATAL_FAILURE(OpenAndCloseCom1());
    state_.portSettings.handshakeFlags = 0x8200;
    ASSERT_EQ(Call(KEL_CMD_REOPEN), KEL_OK);
    EXPECT_EQ(fake_.Device("COM1").state.dtrControl, kel::kDtrControlHandshake);
    EXPECT_EQ(fake_.Device("COM1").state.rtsControl, kel::kRtsControlEnable);
}

TEST_F(LifecycleFakeReopen, MissingDeviceReturnsTwoAndLogsNothing) {
    ASSERT_NO_FATAL_FAILURE(OpenAndCloseCom1());
    fake_.RemoveDevice("COM1");
    const DriverState expected = state_;
    EXPECT_EQ(Call(KEL_CMD_REOPEN), KEL_LINE_FAILURE);
    ExpectSameState(state_, expected);  // still closed, port-open flag still 3
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeReopen, RefusedLineReturnsTwoAndLeavesTheDeviceClosed) {
    ASSERT_NO_FATAL_FAILURE(OpenAndCloseCom1());
    fake_.Fail(PlatformCall::SetState);
    const DriverState expected = state_;
    EXPECT_EQ(Call(KEL_CMD_REOPEN), KEL_LINE_FAILURE);
    ExpectSameState(state_, expected);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeReopen, WhileHoldingTheSameDeviceFailsAndKeepsTheHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
    const DriverState expected = state_;
    EXPECT_EQ(Call(KEL_CMD_REOPEN), KEL_LINE_FAILURE);
    ExpectSameState(state_, expected);
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeReopen, SuccessWhileHoldingAHandleClosesTheSupersededOne) {
    OpenRequest open = MakeOpen("NUL");
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    const PortHandle first = state_.portHandle;
    fake_.ClearLog();
    teskar_clear();

    ASSERT_EQ(Call(KEL_CMD_REOPEN), KEL_OK);
    EXPECT_NE(state_.portHandle, first);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("NUL"));
    EXPECT_EQ(fake_.Calls(), (Calls {"OpenDevice NUL", "CloseDevice NUL"}));
    const std::vector<CallRecord> closes = fake_.CallsOf(PlatformCall::CloseDevice);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, first);
    EXPECT_EQ(fake_.Device("NUL").openCount, 1);
    EXPECT_TRUE(HostMessages().empty());
}

// ---- change port parameters (15) --------------------------------------------

class LifecycleFakeChangePort : public LifecycleFake {
protected:
    std::int32_t Change(const char* name, std::uint32_t linkTimeout, LineSettings line) {
        ChangePortRequest change = MakeChange(name, linkTimeout, line);
        return Call(KEL_CMD_CHANGE_PORT, &change);
    }
};

TEST_F(LifecycleFakeChangePort, BaudZeroKeepsAllFourLineSettings) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    ASSERT_EQ(Call(KEL_CMD_CLOSE), KEL_OK);
    fake_.ClearLog();

    ASSERT_EQ(Change("COM1", 0, LineSettings {0, 7, 1, 2}), KEL_OK);
    EXPECT_TRUE(SameLine(state_.portSettings.line, kLine));
    EXPECT_EQ(fake_.Calls(), Concat(kCom1Configure, {"GetTimeouts", "SetTimeouts 0/0/300/0/0"}));
}

TEST_F(LifecycleFakeChangePort, NonZeroBaudReplacesAllFourAndKeepsTheHandshakeFlags) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    ASSERT_EQ(Call(KEL_CMD_CLOSE), KEL_OK);
    state_.portSettings.handshakeFlags = 0x0101;
    fake_.ClearLog();

    ASSERT_EQ(Change("COM1", 0, LineSettings {4800, 7, 1, 2}), KEL_OK);
    EXPECT_TRUE(SameLine(state_.portSettings.line, LineSettings {4800, 7, 1, 2}));
    EXPECT_EQ(state_.portSettings.handshakeFlags, 0x0101);
    const std::vector<CallRecord> sets = fake_.CallsOf(PlatformCall::SetState);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].text, "SetState 4800/7/1/2");
    EXPECT_EQ(sets[0].state.dtrControl, kel::kDtrControlEnable);
    EXPECT_EQ(sets[0].state.rtsControl, kel::kRtsControlDisable);
}

struct ChangeTimeoutCase {
    std::uint32_t blockTimeout;
    std::uint32_t stored;
    std::string setTimeouts;
    std::uint32_t ms;
};

class LifecycleFakeChangePortTimeout : public LifecycleFakeChangePort,
                                       public ::testing::WithParamInterface<ChangeTimeoutCase> {};

TEST_P(LifecycleFakeChangePortTimeout, AppliesTheStoredLinkTimeoutAfterTheOpen) {
    const ChangeTimeoutCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    ASSERT_EQ(Call(KEL_CMD_CLOSE), KEL_OK);
    fake_.ClearLog();

    ASSERT_EQ(Change("COM1", c.blockTimeout, LineSettings {0, 0, 0, 0}), KEL_OK);
    EXPECT_EQ(state_.LinkTimeout, c.stored);
    EXPECT_EQ(fake_.Calls(), Concat(kCom1Configure, {"GetTimeouts", c.setTimeouts}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), c.ms);
}

INSTANTIATE_TEST_SUITE_P(
    Block, LifecycleFakeChangePortTimeout,
    ::testing::Values(ChangeTimeoutCase {0, 30, "SetTimeouts 0/0/300/0/0", 300},  // kept
                      ChangeTimeoutCase {45, 45, "SetTimeouts 0/0/450/0/0", 450}),
    [](const ::testing::TestParamInfo<ChangeTimeoutCase>& info) {
        return "LinkTimeout" + std::to_string(info.param.blockTimeout);
    });

TEST_F(LifecycleFakeChangePort, DifferentNameClosesTheOldPortFirst) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
    ASSERT_EQ(Change("COM2", 0, LineSettings {0, 0, 0, 0}), KEL_OK);
    EXPECT_EQ(fake_.Calls(),
              (Calls {"CloseDevice COM1", "OpenDevice COM2", "GetState", "SetTimeouts 0/0/1000/0/0",
                      "SetState 19200/8/2/1", "SetQueueSizes 1200 1200", "GetTimeouts",
                      "SetTimeouts 0/0/300/0/0"}));
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM2"));
    EXPECT_STREQ(state_.portSettings.portName, "COM2");
    EXPECT_EQ(state_.portOpen, 1u);
    EXPECT_EQ(ReadTimeoutMs("COM2"), 300u);
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeChangePort, NameComparisonIsCaseSensitive) {
    fake_.AddDevice("com1");
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    ASSERT_EQ(Change("com1", 0, LineSettings {0, 0, 0, 0}), KEL_OK);
    ASSERT_FALSE(fake_.Log().empty());
    EXPECT_EQ(fake_.Calls().front(), "CloseDevice COM1");
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("com1"));
}

TEST_F(LifecycleFakeChangePort, SameNameWhileOpenDoesNotCloseAndTheFreshOpenFails) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
    const PortHandle held = state_.portHandle;
    EXPECT_EQ(Change("COM1", 45, LineSettings {4800, 7, 1, 2}), KEL_LINE_FAILURE);
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
    EXPECT_EQ(state_.portHandle, held);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_EQ(state_.portOpen, 3u);  // set only by a successful change
    // The block's values were taken before the open was tried.
    EXPECT_EQ(state_.LinkTimeout, 45u);
    EXPECT_TRUE(SameLine(state_.portSettings.line, LineSettings {4800, 7, 1, 2}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 300u);
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeChangePort, FailedOpenOfAnotherNameLeavesTheInstanceClosed) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1(3));
    EXPECT_EQ(Change("COM9", 0, LineSettings {0, 0, 0, 0}), KEL_LINE_FAILURE);
    EXPECT_EQ(fake_.Calls(), (Calls {"CloseDevice COM1", "OpenDevice COM9"}));
    EXPECT_EQ(state_.portHandle, nullptr);
    EXPECT_STREQ(state_.portSettings.portName, "COM9");
    EXPECT_EQ(state_.portOpen, 3u);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeChangePort, RefusedCloseAndFailedOpenKeepTheHeldHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const PortHandle held = state_.portHandle;
    fake_.Fail(PlatformCall::CloseDevice);
    EXPECT_EQ(Change("COM9", 0, LineSettings {0, 0, 0, 0}), KEL_LINE_FAILURE);
    EXPECT_EQ(fake_.Calls(), (Calls {"CloseDevice COM1", "OpenDevice COM9"}));
    EXPECT_EQ(state_.portHandle, held);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeChangePort, RefusedCloseThenSuccessfulOpenClosesTheSupersededHandle) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const PortHandle held = state_.portHandle;
    fake_.Fail(PlatformCall::CloseDevice);  // the first close only
    ASSERT_EQ(Change("COM2", 0, LineSettings {0, 0, 0, 0}), KEL_OK);
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM2"));
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    const std::vector<CallRecord> closes = fake_.CallsOf(PlatformCall::CloseDevice);
    ASSERT_EQ(closes.size(), 2u);
    EXPECT_EQ(closes[0].handle, held);
    EXPECT_FALSE(closes[0].ok);
    EXPECT_EQ(closes[1].handle, held);
    EXPECT_TRUE(closes[1].ok);
}

TEST_F(LifecycleFakeChangePort, RefusedLineReturnsTwoWithoutLogAndHoldsNothing) {
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    fake_.Fail(PlatformCall::SetState);
    EXPECT_EQ(Change("COM2", 0, LineSettings {0, 0, 0, 0}), KEL_LINE_FAILURE);
    EXPECT_EQ(state_.portHandle, nullptr);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_FALSE(fake_.IsOpen("COM2"));
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakeChangePort, WorksOnAnInstanceNeverOpened) {
    ASSERT_EQ(Change("COM2", 20, LineSettings {9600, 7, 0, 2}), KEL_OK);
    EXPECT_EQ(fake_.Calls(),
              (Calls {"OpenDevice COM2", "GetState", "SetTimeouts 0/0/1000/0/0",
                      "SetState 9600/7/0/2", "SetQueueSizes 1200 1200", "GetTimeouts",
                      "SetTimeouts 0/0/200/0/0"}));
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("COM2"));
    EXPECT_EQ(state_.portOpen, 1u);
    EXPECT_EQ(state_.LinkTimeout, 20u);
    EXPECT_TRUE(HostMessages().empty());
}

// ---- port names that do not fit the 12-byte field ---------------------------

using LifecycleFakePortName = LifecycleFake;

constexpr char kTwelve[] = "ABCDEFGHIJKL";

TEST_F(LifecycleFakePortName, OpenRefusesANameWithoutNulAndLogsOnlyItsTwelveBytes) {
    fake_.AddDevice(kTwelve);  // present, so only the name check can refuse it
    // 'A' in the enable field right behind the name: reading past the field
    // would show it in the message.
    OpenRequest open = MakeOpen(kTwelve, 0x41);
    DriverState expected = state_;
    expected.portOpen = 0x41;

    EXPECT_EQ(Call(KEL_CMD_OPEN, &open), KEL_LINE_FAILURE);
    EXPECT_EQ(HostMessages(), std::vector<Logged> {FailToOpen(kTwelve)});
    EXPECT_TRUE(fake_.Log().empty());
    ExpectSameState(state_, expected);
}

TEST_F(LifecycleFakePortName, ElevenCharactersFit) {
    fake_.AddDevice("ABCDEFGHIJK");
    OpenRequest open = MakeOpen("ABCDEFGHIJK");
    ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
    EXPECT_STREQ(state_.portSettings.portName, "ABCDEFGHIJK");
    EXPECT_EQ(state_.portHandle, fake_.HandleOf("ABCDEFGHIJK"));
}

TEST_F(LifecycleFakePortName, ReopenRefusesAStoredNameWithoutNul) {
    fake_.AddDevice(kTwelve);
    SetName(state_.portSettings.portName, kTwelve);
    state_.portSettings.line = kLine;
    state_.portSettings.handshakeFlags = 8;
    state_.LinkTimeout = 0x41414141;  // the field behind the settings is not the name either
    const DriverState expected = state_;

    EXPECT_EQ(Call(KEL_CMD_REOPEN), KEL_LINE_FAILURE);
    EXPECT_TRUE(fake_.Log().empty());
    ExpectSameState(state_, expected);
    EXPECT_TRUE(HostMessages().empty());
}

TEST_F(LifecycleFakePortName, ChangeRefusesANameWithoutNulBeforeChangingAnything) {
    fake_.AddDevice(kTwelve);
    ASSERT_NO_FATAL_FAILURE(OpenCom1());
    const DriverState expected = state_;

    ChangePortRequest change = MakeChange(kTwelve, 45, LineSettings {4800, 7, 1, 2});
    EXPECT_EQ(Call(KEL_CMD_CHANGE_PORT, &change), KEL_LINE_FAILURE);
    EXPECT_TRUE(fake_.Log().empty());  // the held port is not closed either
    ExpectSameState(state_, expected);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_TRUE(HostMessages().empty());
}

}  // namespace
