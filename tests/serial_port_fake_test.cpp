// The serial port layer's algorithms, observed call by call through the
// recording platform: what OpenPort configures and in which order, how it
// cleans up after each failure, the read-timeout arithmetic, the drain of
// PurgeInput, and partial reads and writes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include "serial/serial_port.h"
#include "support/fake_serial_platform.h"

namespace kel {
namespace {

using test_support::CallRecord;
using test_support::FakeDevice;
using test_support::FakeSerialPlatform;
using test_support::PlatformCall;
using Calls = std::vector<std::string>;

constexpr LineParameters kLine9600_7E1 {9600, 7, 0, 2};

const Calls kCom1OpenCalls = {
    "OpenDevice COM1", "GetState", "SetTimeouts 0/0/1000/0/0", "SetState 9600/7/0/2",
    "SetQueueSizes 1200 1200",
};

std::vector<std::uint8_t> Bytes(std::size_t count, std::uint8_t first = 0) {
    std::vector<std::uint8_t> bytes(count);
    for (std::size_t i = 0; i < count; ++i) bytes[i] = static_cast<std::uint8_t>(first + i);
    return bytes;
}

std::vector<std::uint32_t> Got(const std::vector<CallRecord>& reads) {
    std::vector<std::uint32_t> got;
    for (const CallRecord& read : reads) got.push_back(read.done);
    return got;
}

std::vector<std::uint32_t> Waited(const std::vector<CallRecord>& reads) {
    std::vector<std::uint32_t> waited;
    for (const CallRecord& read : reads) waited.push_back(read.waitedMs);
    return waited;
}

class SerialPortFake : public ::testing::Test {
protected:
    void SetUp() override { UseSerialPlatform(&fake_); }
    void TearDown() override { UseSerialPlatform(nullptr); }

    // COM1 opened with 9600 7E1 and flags 8; the log starts empty after it.
    PortHandle OpenCom1() {
        fake_.AddDevice("COM1");
        PortHandle handle = nullptr;
        EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), kSerialOk);
        EXPECT_EQ(fake_.Calls(), kCom1OpenCalls);
        fake_.ClearLog();
        return handle;
    }

    std::uint32_t ReadTimeoutMs(const std::string& device) {
        return fake_.Device(device).timeouts.readTotalTimeoutConstant;
    }

    FakeSerialPlatform fake_;
};

// ---- OpenPort ---------------------------------------------------------------

using SerialPortFakeOpen = SerialPortFake;

TEST_F(SerialPortFakeOpen, MissingDeviceReturnsOneAndWritesTheInvalidHandle) {
    fake_.AddDevice("COM1");
    PortHandle handle = nullptr;
    EXPECT_EQ(OpenPort("COM9", &kLine9600_7E1, 8, &handle), kSerialOpenFailed);
    EXPECT_EQ(handle, InvalidPortHandle());
    // Nothing was opened, so nothing is configured or closed.
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM9"});
}

TEST_F(SerialPortFakeOpen, NullDeviceIsOpenedWithoutAnyConfiguration) {
    FakeDevice& nul = fake_.AddDevice("NUL");
    nul.timeouts = CommTimeouts {1, 2, 3, 4, 5};
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort("NUL", &kLine9600_7E1, 0x0303, &handle), kSerialOk);
    EXPECT_NE(handle, nullptr);
    EXPECT_NE(handle, InvalidPortHandle());
    EXPECT_EQ(handle, fake_.HandleOf("NUL"));
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice NUL"});
    EXPECT_EQ(nul.state, FakeSerialPlatform::DistinctiveState());
    EXPECT_EQ(nul.timeouts, (CommTimeouts {1, 2, 3, 4, 5}));
    EXPECT_EQ(nul.inQueue, 0u);
    EXPECT_EQ(nul.outQueue, 0u);
}

TEST_F(SerialPortFakeOpen, LowerCaseNulIsConfiguredLikeAnyPort) {
    fake_.AddDevice("nul");
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort("nul", &kLine9600_7E1, 8, &handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), (Calls {"OpenDevice nul", "GetState", "SetTimeouts 0/0/1000/0/0",
                                     "SetState 9600/7/0/2", "SetQueueSizes 1200 1200"}));
    EXPECT_EQ(fake_.Device("nul").timeouts.readTotalTimeoutConstant, 1000u);
}

TEST_F(SerialPortFakeOpen, ConfiguresInOrderAndLeavesOneSecondReadTimeoutAndQueuesOf1200) {
    FakeDevice& com1 = fake_.AddDevice("COM1");
    com1.timeouts = CommTimeouts {7, 8, 9, 10, 11};  // whatever the device had before
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), kCom1OpenCalls);
    EXPECT_EQ(handle, fake_.HandleOf("COM1"));
    EXPECT_NE(handle, nullptr);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    // Every call after the open went to the handle it returned.
    for (const CallRecord& record : fake_.Log()) EXPECT_EQ(record.handle, handle) << record.text;
    EXPECT_EQ(com1.timeouts, (CommTimeouts {0, 0, 1000, 0, 0}));
    EXPECT_EQ(com1.inQueue, 1200u);
    EXPECT_EQ(com1.outQueue, 1200u);
}

TEST_F(SerialPortFakeOpen, QueueSizeFailureIsIgnored) {
    fake_.AddDevice("COM1");
    fake_.Fail(PlatformCall::SetQueueSizes);
    PortHandle handle = nullptr;
    EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), kCom1OpenCalls);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_EQ(handle, fake_.HandleOf("COM1"));
}

TEST_F(SerialPortFakeOpen, SecondOpenOfAnOpenDeviceFailsAndLeavesTheFirstOpen) {
    const PortHandle first = OpenCom1();
    PortHandle second = nullptr;
    EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &second), kSerialOpenFailed);
    EXPECT_EQ(second, InvalidPortHandle());
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
    EXPECT_EQ(fake_.HandleOf("COM1"), first);
}

TEST_F(SerialPortFakeOpen, NullDeviceOpensAgainWhileOpen) {
    fake_.AddDevice("NUL");
    PortHandle first = nullptr;
    PortHandle second = nullptr;
    ASSERT_EQ(OpenPort("NUL", &kLine9600_7E1, 8, &first), kSerialOk);
    ASSERT_EQ(OpenPort("NUL", &kLine9600_7E1, 8, &second), kSerialOk);
    EXPECT_NE(first, second);
    EXPECT_EQ(fake_.Calls(), (Calls {"OpenDevice NUL", "OpenDevice NUL"}));
}

struct LineMappingCase {
    const char* name;
    CommState reported;
    LineParameters line;
};

class SerialPortFakeLineMapping : public SerialPortFake,
                                  public ::testing::WithParamInterface<LineMappingCase> {};

TEST_P(SerialPortFakeLineMapping, AppliesTheLineAndKeepsWhatTheDeviceReportedForTheRest) {
    const LineMappingCase& c = GetParam();
    fake_.AddDevice("COM1", c.reported);
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort("COM1", &c.line, 8, &handle), kSerialOk);

    CommState expected = c.reported;  // txContinueOnXoff, limits and characters stay
    expected.baudRate = c.line.baudRate;  // zero-extended, never sign-extended
    expected.byteSize = static_cast<std::uint8_t>(c.line.dataBits & 0xFF);
    expected.stopBits = static_cast<std::uint8_t>(c.line.stopBits & 0xFF);
    expected.parity = static_cast<std::uint8_t>(c.line.parity & 0xFF);
    expected.binary = true;
    expected.parityCheck = true;
    expected.outxCtsFlow = false;
    expected.outxDsrFlow = false;
    expected.dsrSensitivity = false;
    expected.outX = false;
    expected.inX = false;
    expected.errorCharReplace = false;
    expected.nullStrip = false;
    expected.abortOnError = false;
    expected.dtrControl = kDtrControlDisable;  // flags 8
    expected.rtsControl = kRtsControlDisable;
    expected.errorChar = static_cast<char>(0xFC);

    const std::vector<CallRecord> sets = fake_.CallsOf(PlatformCall::SetState);
    ASSERT_EQ(sets.size(), 1u);
    EXPECT_EQ(sets[0].state, expected);
    EXPECT_EQ(fake_.Device("COM1").state, expected);
}

CommState QuietState() {
    CommState s;  // what a device with nothing switched on reports
    s.baudRate = 1200;
    s.byteSize = 8;
    return s;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, SerialPortFakeLineMapping,
    ::testing::Values(
        // The high bytes of data bits, stop bits and parity are dropped; the
        // largest baud rate survives as 65535.
        LineMappingCase {"HighBytesDropped", FakeSerialPlatform::DistinctiveState(),
                         LineParameters {65535, 0x0107, 0x0202, 0x0304}},
        LineMappingCase {"Baud38400TopBitSet", FakeSerialPlatform::DistinctiveState(),
                         LineParameters {38400, 8, 0, 1}},
        // Parity checking is switched on even with parity code 0 (none).
        LineMappingCase {"NoParityStillChecks", QuietState(), LineParameters {300, 8, 0, 0}},
        LineMappingCase {"OneAndAHalfStopMark", QuietState(), LineParameters {19200, 5, 1, 3}}),
    [](const ::testing::TestParamInfo<LineMappingCase>& info) { return info.param.name; });

struct HandshakeCase {
    std::uint16_t flags;
    std::uint8_t dtr;
    std::uint8_t rts;
};

class SerialPortFakeHandshake : public SerialPortFake,
                                public ::testing::WithParamInterface<HandshakeCase> {};

TEST_P(SerialPortFakeHandshake, DecodesTheControlLines) {
    const HandshakeCase& c = GetParam();
    EXPECT_EQ(DtrControlFromFlags(c.flags), c.dtr);
    EXPECT_EQ(RtsControlFromFlags(c.flags), c.rts);

    fake_.AddDevice("COM1");
    PortHandle handle = nullptr;
    ASSERT_EQ(OpenPort("COM1", &kLine9600_7E1, c.flags, &handle), kSerialOk);
    EXPECT_EQ(fake_.Device("COM1").state.dtrControl, c.dtr);
    EXPECT_EQ(fake_.Device("COM1").state.rtsControl, c.rts);
}

INSTANTIATE_TEST_SUITE_P(
    Flags, SerialPortFakeHandshake,
    ::testing::Values(
        HandshakeCase {0x0101, kDtrControlEnable, kRtsControlDisable},
        HandshakeCase {0x0001, kDtrControlEnable, kRtsControlDisable},
        HandshakeCase {0x0100, kDtrControlEnable, kRtsControlDisable},
        HandshakeCase {0x8000, kDtrControlHandshake, kRtsControlDisable},
        HandshakeCase {0x8001, kDtrControlEnable, kRtsControlDisable},   // first row wins
        HandshakeCase {0x8100, kDtrControlEnable, kRtsControlDisable},
        HandshakeCase {0x3000, kDtrControlDisable, kRtsControlHandshake},  // 0x1000 before 0x2000
        HandshakeCase {0x2000, kDtrControlDisable, kRtsControlToggle},
        HandshakeCase {0x1000, kDtrControlDisable, kRtsControlHandshake},
        HandshakeCase {0x0002, kDtrControlDisable, kRtsControlEnable},
        HandshakeCase {0x0200, kDtrControlDisable, kRtsControlEnable},
        HandshakeCase {0x3002, kDtrControlDisable, kRtsControlEnable},
        HandshakeCase {0x2200, kDtrControlDisable, kRtsControlEnable},
        HandshakeCase {0xA000, kDtrControlHandshake, kRtsControlToggle},
        HandshakeCase {0x9200, kDtrControlHandshake, kRtsControlEnable},
        HandshakeCase {0xFFFF, kDtrControlEnable, kRtsControlEnable},
        HandshakeCase {0x0008, kDtrControlDisable, kRtsControlDisable},
        HandshakeCase {0x0000, kDtrControlDisable, kRtsControlDisable},
        // Bits the decoding does not look at.
        HandshakeCase {0x4CFC, kDtrControlDisable, kRtsControlDisable}),
    [](const ::testing::TestParamInfo<HandshakeCase>& info) {
        char name[16];
        std::snprintf(name, sizeof name, "Flags%04X", info.param.flags);
        return std::string(name);
    });

struct OpenFailureCase {
    const char* name;
    PlatformCall failing;
    int code;
    Calls calls;
};

class SerialPortFakeOpenFailure : public SerialPortFake,
                                  public ::testing::WithParamInterface<OpenFailureCase> {};

TEST_P(SerialPortFakeOpenFailure, ClosesTheDeviceSoThatTheNextOpenSucceeds) {
    const OpenFailureCase& c = GetParam();
    FakeDevice& com1 = fake_.AddDevice("COM1");
    fake_.Fail(c.failing);
    PortHandle handle = nullptr;
    EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), c.code);
    EXPECT_EQ(fake_.Calls(), c.calls);
    // The handle was handed out at once and is the one closed.
    const std::vector<CallRecord> opens = fake_.CallsOf(PlatformCall::OpenDevice);
    ASSERT_EQ(opens.size(), 1u);
    EXPECT_EQ(handle, opens[0].handle);
    const std::vector<CallRecord> closes = fake_.CallsOf(PlatformCall::CloseDevice);
    ASSERT_EQ(closes.size(), 1u);
    EXPECT_EQ(closes[0].handle, handle);
    EXPECT_TRUE(closes[0].ok);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
    EXPECT_EQ(com1.state, FakeSerialPlatform::DistinctiveState());  // never applied

    fake_.ClearLog();
    PortHandle again = nullptr;
    EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &again), kSerialOk);
    EXPECT_EQ(fake_.Calls(), kCom1OpenCalls);
    EXPECT_NE(again, handle);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, SerialPortFakeOpenFailure,
    ::testing::Values(
        OpenFailureCase {"StateUnreadable", PlatformCall::GetState, kSerialStateUnreadable,
                         {"OpenDevice COM1", "GetState", "CloseDevice COM1"}},
        OpenFailureCase {"TimeoutsNotSet", PlatformCall::SetTimeouts, kSerialOpenFailed,
                         {"OpenDevice COM1", "GetState", "SetTimeouts 0/0/1000/0/0",
                          "CloseDevice COM1"}},
        OpenFailureCase {"StateRefused", PlatformCall::SetState, kSerialStateRefused,
                         {"OpenDevice COM1", "GetState", "SetTimeouts 0/0/1000/0/0",
                          "SetState 9600/7/0/2", "CloseDevice COM1"}}),
    [](const ::testing::TestParamInfo<OpenFailureCase>& info) { return info.param.name; });

TEST_F(SerialPortFakeOpen, OpenDeviceFailureOfAnExistingDeviceReturnsOne) {
    fake_.AddDevice("COM1");
    fake_.Fail(PlatformCall::OpenDevice);
    PortHandle handle = nullptr;
    EXPECT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), kSerialOpenFailed);
    EXPECT_EQ(handle, InvalidPortHandle());
    EXPECT_EQ(fake_.Calls(), Calls {"OpenDevice COM1"});
}

// ---- ClosePort --------------------------------------------------------------

using SerialPortFakeClose = SerialPortFake;

TEST_F(SerialPortFakeClose, ClosesTheDevice) {
    const PortHandle handle = OpenCom1();
    EXPECT_EQ(ClosePort(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), Calls {"CloseDevice COM1"});
    EXPECT_FALSE(fake_.IsOpen("COM1"));
}

TEST_F(SerialPortFakeClose, RefusedCloseReturnsSevenAndTheDeviceStaysOpen) {
    const PortHandle handle = OpenCom1();
    fake_.Fail(PlatformCall::CloseDevice);
    EXPECT_EQ(ClosePort(handle), kSerialIoFailed);
    EXPECT_TRUE(fake_.IsOpen("COM1"));
    EXPECT_EQ(ClosePort(handle), kSerialOk);
    EXPECT_FALSE(fake_.IsOpen("COM1"));
}

TEST_F(SerialPortFakeClose, ClosingAClosedHandleReturnsSeven) {
    const PortHandle handle = OpenCom1();
    ASSERT_EQ(ClosePort(handle), kSerialOk);
    EXPECT_EQ(ClosePort(handle), kSerialIoFailed);
}

// ---- SetReadTimeout ---------------------------------------------------------

using SerialPortFakeReadTimeout = SerialPortFake;

TEST_F(SerialPortFakeReadTimeout, FiveAfterOpenReturnsHundredThenFiveWithoutWriting) {
    const PortHandle handle = OpenCom1();
    EXPECT_EQ(SetReadTimeout(handle, 5), 100);
    EXPECT_EQ(fake_.Calls(), (Calls {"GetTimeouts", "SetTimeouts 0/0/50/0/0"}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 50u);

    fake_.ClearLog();
    EXPECT_EQ(SetReadTimeout(handle, 5), 5);
    EXPECT_EQ(fake_.Calls(), Calls {"GetTimeouts"});
    EXPECT_EQ(ReadTimeoutMs("COM1"), 50u);
}

struct TimeoutCase {
    std::uint32_t previousMs;
    std::int32_t units;
    std::int32_t result;
    bool writes;
};

class SerialPortFakeReadTimeoutArithmetic : public SerialPortFake,
                                            public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SerialPortFakeReadTimeoutArithmetic, ReturnsPreviousTenthsTruncatedAndKeepsTheOtherValues) {
    const TimeoutCase& c = GetParam();
    const PortHandle handle = OpenCom1();
    fake_.Device("COM1").timeouts = CommTimeouts {3, 4, c.previousMs, 6, 7};
    EXPECT_EQ(SetReadTimeout(handle, c.units), c.result);
    const CommTimeouts expected {3, 4, static_cast<std::uint32_t>(c.units) * 10u, 6, 7};
    EXPECT_EQ(fake_.Device("COM1").timeouts, expected);
    if (c.writes) {
        EXPECT_EQ(fake_.Calls(),
                  (Calls {"GetTimeouts", "SetTimeouts " + test_support::TimeoutsText(expected)}));
    } else {
        EXPECT_EQ(fake_.Calls(), Calls {"GetTimeouts"});
    }
}

INSTANTIATE_TEST_SUITE_P(Values, SerialPortFakeReadTimeoutArithmetic,
                         ::testing::Values(TimeoutCase {1005, 20, 100, true},
                                           TimeoutCase {1000, 100, 100, false},
                                           TimeoutCase {1009, 3, 100, true},
                                           TimeoutCase {19, 1, 1, true},
                                           TimeoutCase {9, 5, 0, true},
                                           TimeoutCase {0, 5, 0, true},
                                           TimeoutCase {0, 0, 0, false},
                                           TimeoutCase {50, 5, 5, false}),
                         [](const ::testing::TestParamInfo<TimeoutCase>& info) {
                             return "From" + std::to_string(info.param.previousMs) + "msTo" +
                                    std::to_string(info.param.units) + "Units";
                         });

TEST_F(SerialPortFakeReadTimeout, UnreadableTimeoutsGiveZeroAndWriteNothing) {
    const PortHandle handle = OpenCom1();
    fake_.Fail(PlatformCall::GetTimeouts);
    EXPECT_EQ(SetReadTimeout(handle, 5), 0);
    EXPECT_EQ(fake_.Calls(), Calls {"GetTimeouts"});
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

TEST_F(SerialPortFakeReadTimeout, RefusedTimeoutsGiveZero) {
    const PortHandle handle = OpenCom1();
    fake_.Fail(PlatformCall::SetTimeouts);
    EXPECT_EQ(SetReadTimeout(handle, 5), 0);
    EXPECT_EQ(fake_.Calls(), (Calls {"GetTimeouts", "SetTimeouts 0/0/50/0/0"}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

// ---- PurgeInput -------------------------------------------------------------

using SerialPortFakePurge = SerialPortFake;

const Calls kDrainTwiceAndRestore = {
    "ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0", "Read 512",
    "Read 512",   "GetTimeouts", "SetTimeouts 0/0/1000/0/0",
};

TEST_F(SerialPortFakePurge, NothingWaitingMakesNoReadAndLeavesTheTimeout) {
    const PortHandle handle = OpenCom1();
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), Calls {"ClearError"});
    EXPECT_EQ(fake_.Device("COM1").timeouts, (CommTimeouts {0, 0, 1000, 0, 0}));
}

TEST_F(SerialPortFakePurge, ThousandWaitingReads512Then488AndRestoresTheTimeout) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(1000));
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), kDrainTwiceAndRestore);
    const std::vector<CallRecord> reads = fake_.CallsOf(PlatformCall::Read);
    EXPECT_EQ(Got(reads), (std::vector<std::uint32_t> {512, 488}));
    EXPECT_EQ(Waited(reads), (std::vector<std::uint32_t> {0, 50}));  // drained under 50 ms
    EXPECT_TRUE(fake_.Device("COM1").waiting.empty());
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

TEST_F(SerialPortFakePurge, Exactly512WaitingReadsOnceMoreUntilAReadGetsNothing) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(512));
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), kDrainTwiceAndRestore);
    const std::vector<CallRecord> reads = fake_.CallsOf(PlatformCall::Read);
    EXPECT_EQ(Got(reads), (std::vector<std::uint32_t> {512, 0}));
    EXPECT_EQ(Waited(reads), (std::vector<std::uint32_t> {0, 50}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

TEST_F(SerialPortFakePurge, RestoresTheTimeoutTheLifecycleSet) {
    const PortHandle handle = OpenCom1();
    ASSERT_EQ(SetReadTimeout(handle, 30), 100);
    fake_.ClearLog();
    fake_.QueueInput("COM1", Bytes(3));
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0",
                                     "Read 512", "GetTimeouts", "SetTimeouts 0/0/300/0/0"}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 300u);
}

struct ShortPreviousCase {
    std::uint32_t previousMs;
    Calls calls;
    std::uint32_t finalMs;
};

class SerialPortFakePurgeShortPrevious : public SerialPortFake,
                                         public ::testing::WithParamInterface<ShortPreviousCase> {};

TEST_P(SerialPortFakePurgeShortPrevious, PreviousBelowTenMsIsNotRestored) {
    const ShortPreviousCase& c = GetParam();
    const PortHandle handle = OpenCom1();
    fake_.Device("COM1").timeouts.readTotalTimeoutConstant = c.previousMs;
    fake_.QueueInput("COM1", Bytes(10));
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), c.calls);
    EXPECT_EQ(ReadTimeoutMs("COM1"), c.finalMs);
}

INSTANTIATE_TEST_SUITE_P(
    Previous, SerialPortFakePurgeShortPrevious,
    ::testing::Values(
        ShortPreviousCase {0, {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0", "Read 512"},
                           50},
        ShortPreviousCase {9, {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0", "Read 512"},
                           50},
        // From 10 ms on the previous value is a whole unit and comes back.
        ShortPreviousCase {10,
                           {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0", "Read 512",
                            "GetTimeouts", "SetTimeouts 0/0/10/0/0"},
                           10}),
    [](const ::testing::TestParamInfo<ShortPreviousCase>& info) {
        return "Previous" + std::to_string(info.param.previousMs) + "ms";
    });

TEST_F(SerialPortFakePurge, ClearErrorFailureStillDrainsAndSucceeds) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(3));
    fake_.Fail(PlatformCall::ClearError);
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0",
                                     "Read 512", "GetTimeouts", "SetTimeouts 0/0/1000/0/0"}));
    EXPECT_EQ(Got(fake_.CallsOf(PlatformCall::Read)), std::vector<std::uint32_t> {3});
    EXPECT_TRUE(fake_.Device("COM1").waiting.empty());
}

TEST_F(SerialPortFakePurge, ClearErrorFailureWithNothingWaitingMakesOneEmptyRead) {
    const PortHandle handle = OpenCom1();
    fake_.Fail(PlatformCall::ClearError);
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0",
                                     "Read 512", "GetTimeouts", "SetTimeouts 0/0/1000/0/0"}));
    EXPECT_EQ(Got(fake_.CallsOf(PlatformCall::Read)), std::vector<std::uint32_t> {0});
}

TEST_F(SerialPortFakePurge, FailingDrainReadReturnsOneAfterRestoringTheTimeout) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(1000));
    fake_.Fail(PlatformCall::Read, 1, /*after=*/1);  // the second read fails
    EXPECT_EQ(PurgeInput(handle), kSerialOpenFailed);
    EXPECT_EQ(fake_.Calls(), kDrainTwiceAndRestore);
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

TEST_F(SerialPortFakePurge, FirstDrainReadFailingEndsTheDrain) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(1000));
    fake_.Fail(PlatformCall::Read);
    EXPECT_EQ(PurgeInput(handle), kSerialOpenFailed);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "SetTimeouts 0/0/50/0/0",
                                     "Read 512", "GetTimeouts", "SetTimeouts 0/0/1000/0/0"}));
}

TEST_F(SerialPortFakePurge, UnreadableTimeoutsStillDrainButRestoreNothing) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(3));
    fake_.Fail(PlatformCall::GetTimeouts);
    EXPECT_EQ(PurgeInput(handle), kSerialOk);
    EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "GetTimeouts", "Read 512"}));
    EXPECT_EQ(ReadTimeoutMs("COM1"), 1000u);
}

// ---- ReadPort ---------------------------------------------------------------

using SerialPortFakeRead = SerialPortFake;

TEST_F(SerialPortFakeRead, TwoBytesArrivingInTwoTimeoutPeriodsAreBothRead) {
    const PortHandle handle = OpenCom1();
    fake_.ScheduleArrivals("COM1", {{'A'}, {'B'}});
    unsigned char buffer[2] = {0, 0};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 2, &got), kSerialOk);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(buffer[1], 'B');
    EXPECT_EQ(fake_.Calls(), (Calls {"Read 2", "Read 1"}));
    EXPECT_EQ(Got(fake_.CallsOf(PlatformCall::Read)), (std::vector<std::uint32_t> {1, 1}));
}

TEST_F(SerialPortFakeRead, SecondByteNeverComingReturnsSevenWithOneCounted) {
    const PortHandle handle = OpenCom1();
    fake_.ScheduleArrivals("COM1", {{'A'}});
    unsigned char buffer[2] = {0, 0};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 2, &got), kSerialIoFailed);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 'A');
    EXPECT_EQ(fake_.Calls(), (Calls {"Read 2", "Read 1"}));
    const std::vector<CallRecord> reads = fake_.CallsOf(PlatformCall::Read);
    EXPECT_EQ(Got(reads), (std::vector<std::uint32_t> {1, 0}));
    EXPECT_EQ(reads[1].waitedMs, 1000u);
}

TEST_F(SerialPortFakeRead, NothingArrivingReturnsSevenAfterOneReadTimeout) {
    const PortHandle handle = OpenCom1();
    ASSERT_EQ(SetReadTimeout(handle, 30), 100);
    fake_.ClearLog();
    unsigned char buffer[2] = {0, 0};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 2, &got), kSerialIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(fake_.Calls(), Calls {"Read 2"});
    EXPECT_EQ(Waited(fake_.CallsOf(PlatformCall::Read)), std::vector<std::uint32_t> {300});
}

TEST_F(SerialPortFakeRead, CountOutParameterMayBeNull) {
    const PortHandle handle = OpenCom1();
    fake_.ScheduleArrivals("COM1", {{'A'}, {'B'}});
    unsigned char buffer[2] = {0, 0};
    EXPECT_EQ(ReadPort(handle, buffer, 2, nullptr), kSerialOk);
    EXPECT_EQ(buffer[1], 'B');
    EXPECT_EQ(ReadPort(handle, buffer, 2, nullptr), kSerialIoFailed);
    EXPECT_EQ(fake_.Calls(), (Calls {"Read 2", "Read 1", "Read 2"}));
}

TEST_F(SerialPortFakeRead, AsksForWhatIsMissingAndFillsTheBufferInOrder) {
    const PortHandle handle = OpenCom1();
    fake_.ScheduleArrivals("COM1", {{'A', 'B'}, {'C'}, {'D', 'E', 'F'}});
    unsigned char buffer[8];
    std::memset(buffer, '#', sizeof buffer);
    std::uint32_t got = 0;
    EXPECT_EQ(ReadPort(handle, buffer, 5, &got), kSerialOk);
    EXPECT_EQ(got, 5u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), sizeof buffer), "ABCDE###");
    EXPECT_EQ(fake_.Calls(), (Calls {"Read 5", "Read 3", "Read 2"}));
    // What was not asked for stays waiting for the next read.
    EXPECT_EQ(fake_.Device("COM1").waiting, (std::deque<std::uint8_t> {'F'}));
}

TEST_F(SerialPortFakeRead, EverythingWaitingTakesOneRead) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", Bytes(600, 1));
    std::vector<unsigned char> buffer(600);
    std::uint32_t got = 0;
    EXPECT_EQ(ReadPort(handle, buffer.data(), 600, &got), kSerialOk);
    EXPECT_EQ(got, 600u);
    EXPECT_EQ(buffer[599], static_cast<unsigned char>(1 + 599));
    EXPECT_EQ(fake_.Calls(), Calls {"Read 600"});
}

TEST_F(SerialPortFakeRead, FailingReadReturnsSevenWithTheBytesSoFar) {
    const PortHandle handle = OpenCom1();
    fake_.ScheduleArrivals("COM1", {{'A'}, {'B'}});
    fake_.Fail(PlatformCall::Read, 1, /*after=*/1);
    unsigned char buffer[3] = {0, 0, 0};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 3, &got), kSerialIoFailed);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(fake_.Calls(), (Calls {"Read 3", "Read 2"}));
}

TEST_F(SerialPortFakeRead, FailingFirstReadReportsZero) {
    const PortHandle handle = OpenCom1();
    fake_.QueueInput("COM1", {'A'});
    fake_.Fail(PlatformCall::Read);
    unsigned char buffer[1] = {0};
    std::uint32_t got = 99;
    EXPECT_EQ(ReadPort(handle, buffer, 1, &got), kSerialIoFailed);
    EXPECT_EQ(got, 0u);
}

// ---- WritePort --------------------------------------------------------------

using SerialPortFakeWrite = SerialPortFake;

const std::string kFrame = "::01RW0010\r";  // any bytes will do

TEST_F(SerialPortFakeWrite, WholeBufferTakenReturnsZero) {
    const PortHandle handle = OpenCom1();
    std::uint32_t written = 99;
    EXPECT_EQ(WritePort(handle, kFrame.data(), static_cast<std::uint32_t>(kFrame.size()), &written),
              kSerialOk);
    EXPECT_EQ(written, kFrame.size());
    EXPECT_EQ(fake_.Calls(), Calls {"Write " + std::to_string(kFrame.size())});
    const std::vector<std::uint8_t>& bytes = fake_.Device("COM1").written;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kFrame);
}

TEST_F(SerialPortFakeWrite, ShortWriteReturnsTwoWithTheCountTakenAndIsNotRepeated) {
    const PortHandle handle = OpenCom1();
    fake_.Device("COM1").writeLimit = 5;
    std::uint32_t written = 99;
    EXPECT_EQ(WritePort(handle, kFrame.data(), static_cast<std::uint32_t>(kFrame.size()), &written),
              kSerialShortWrite);
    EXPECT_EQ(written, 5u);
    EXPECT_EQ(fake_.Calls(), Calls {"Write " + std::to_string(kFrame.size())});
    const std::vector<std::uint8_t>& bytes = fake_.Device("COM1").written;
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), kFrame.substr(0, 5));
}

TEST_F(SerialPortFakeWrite, NothingTakenIsAShortWrite) {
    const PortHandle handle = OpenCom1();
    fake_.Device("COM1").writeLimit = 0;
    std::uint32_t written = 99;
    EXPECT_EQ(WritePort(handle, kFrame.data(), 4, &written), kSerialShortWrite);
    EXPECT_EQ(written, 0u);
}

TEST_F(SerialPortFakeWrite, FailedWriteReturnsSevenAndLeavesTheCountAlone) {
    const PortHandle handle = OpenCom1();
    fake_.Fail(PlatformCall::Write);
    std::uint32_t written = 99;
    EXPECT_EQ(WritePort(handle, kFrame.data(), 4, &written), kSerialIoFailed);
    EXPECT_EQ(written, 99u);
    EXPECT_EQ(fake_.Calls(), Calls {"Write 4"});
}

TEST_F(SerialPortFakeWrite, CountOutParameterMayBeNull) {
    const PortHandle handle = OpenCom1();
    EXPECT_EQ(WritePort(handle, kFrame.data(), 4, nullptr), kSerialOk);
    fake_.Device("COM1").writeLimit = 2;
    EXPECT_EQ(WritePort(handle, kFrame.data(), 4, nullptr), kSerialShortWrite);
    fake_.Fail(PlatformCall::Write);
    EXPECT_EQ(WritePort(handle, kFrame.data(), 4, nullptr), kSerialIoFailed);
    EXPECT_EQ(fake_.Calls(), (Calls {"Write 4", "Write 4", "Write 4"}));
}

}  // namespace
}  // namespace kel
