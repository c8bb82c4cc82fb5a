// The recording serial platform itself: the port layer's tests lean on its
// handles, exclusivity, failure plans and simulated input, so these must hold.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "support/fake_serial_platform.h"

namespace kel::test_support {
namespace {

using Calls = std::vector<std::string>;

TEST(FakeSerialPlatform, HandsOutUniqueUsableHandlesAndRefusesMissingDevices) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1");
    fake.AddDevice("NUL");
    std::set<PortHandle> seen;
    for (int i = 0; i < 3; ++i) {
        const PortHandle com1 = fake.OpenDevice("COM1");
        const PortHandle nul = fake.OpenDevice("NUL");
        for (PortHandle handle : {com1, nul}) {
            EXPECT_NE(handle, nullptr);
            EXPECT_NE(handle, InvalidPortHandle());
            EXPECT_TRUE(seen.insert(handle).second) << "handle handed out twice";
        }
        EXPECT_TRUE(fake.CloseDevice(com1));
        EXPECT_TRUE(fake.CloseDevice(nul));
    }
    EXPECT_EQ(fake.OpenDevice("COM2"), InvalidPortHandle());
    EXPECT_EQ(fake.OpenDevice("com1"), InvalidPortHandle());
}

TEST(FakeSerialPlatform, OpenIsExclusiveExceptForTheNullDevice) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1");
    fake.AddDevice("NUL");
    const PortHandle com1 = fake.OpenDevice("COM1");
    EXPECT_EQ(fake.OpenDevice("COM1"), InvalidPortHandle());
    const PortHandle nul1 = fake.OpenDevice("NUL");
    const PortHandle nul2 = fake.OpenDevice("NUL");
    EXPECT_NE(nul2, InvalidPortHandle());
    EXPECT_NE(nul1, nul2);
    EXPECT_EQ(fake.HandleOf("NUL"), nul2);
    ASSERT_TRUE(fake.CloseDevice(com1));
    EXPECT_NE(fake.OpenDevice("COM1"), InvalidPortHandle());
}

TEST(FakeSerialPlatform, CallsOnAHandleThatIsNotOpenFailAndShowAsUnknown) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1");
    const PortHandle handle = fake.OpenDevice("COM1");
    ASSERT_TRUE(fake.CloseDevice(handle));
    CommState state;
    CommTimeouts timeouts;
    std::uint32_t count = 7;
    unsigned char byte = 0;
    EXPECT_FALSE(fake.CloseDevice(handle));
    EXPECT_FALSE(fake.GetState(handle, &state));
    EXPECT_FALSE(fake.GetTimeouts(handle, &timeouts));
    EXPECT_FALSE(fake.Read(handle, &byte, 1, &count));
    EXPECT_FALSE(fake.Write(handle, &byte, 1, &count));
    EXPECT_EQ(fake.Calls(), (Calls {"OpenDevice COM1", "CloseDevice COM1", "CloseDevice ?",
                                    "GetState", "GetTimeouts", "Read 1", "Write 1"}));
    for (std::size_t i = 2; i < fake.Log().size(); ++i) EXPECT_EQ(fake.Log()[i].device, "?");
}

TEST(FakeSerialPlatform, FailurePlansSkipThenFail) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1");
    const PortHandle handle = fake.OpenDevice("COM1");
    CommState state;
    fake.Fail(PlatformCall::GetState, 2, 1);
    std::vector<bool> results;
    for (int i = 0; i < 5; ++i) results.push_back(fake.GetState(handle, &state));
    EXPECT_EQ(results, (std::vector<bool> {true, false, false, true, true}));

    fake.Fail(PlatformCall::SetQueueSizes, FakeSerialPlatform::kAlways);
    for (int i = 0; i < 3; ++i) EXPECT_FALSE(fake.SetQueueSizes(handle, 1, 1));
    EXPECT_EQ(fake.Device("COM1").inQueue, 0u);
}

TEST(FakeSerialPlatform, ReadsHandOutWaitingBytesThenOneScheduledChunkPerRead) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1");
    const PortHandle handle = fake.OpenDevice("COM1");
    fake.Device("COM1").timeouts.readTotalTimeoutConstant = 70;
    fake.QueueInput("COM1", {'a', 'b', 'c'});
    fake.ScheduleArrivals("COM1", {{'d'}, {'e', 'f'}});

    std::uint32_t waiting = 0;
    ASSERT_TRUE(fake.ClearError(handle, &waiting));
    EXPECT_EQ(waiting, 3u);  // scheduled bytes have not arrived yet

    unsigned char buffer[8] = {};
    std::uint32_t got = 0;
    ASSERT_TRUE(fake.Read(handle, buffer, 2, &got));
    EXPECT_EQ(got, 2u);
    ASSERT_TRUE(fake.Read(handle, buffer, 4, &got));  // 'c', then 'd' arrives
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(buffer[0], 'c');
    EXPECT_EQ(buffer[1], 'd');
    ASSERT_TRUE(fake.Read(handle, buffer, 1, &got));  // 'e' arrives, 'f' stays
    EXPECT_EQ(got, 1u);
    ASSERT_TRUE(fake.ClearError(handle, &waiting));
    EXPECT_EQ(waiting, 1u);
    ASSERT_TRUE(fake.Read(handle, buffer, 2, &got));
    EXPECT_EQ(got, 1u);
    ASSERT_TRUE(fake.Read(handle, buffer, 2, &got));
    EXPECT_EQ(got, 0u);

    std::vector<std::uint32_t> waited;
    for (const CallRecord& read : fake.CallsOf(PlatformCall::Read)) waited.push_back(read.waitedMs);
    EXPECT_EQ(waited, (std::vector<std::uint32_t> {0, 70, 0, 70, 70}));
}

TEST(FakeSerialPlatform, WritesKeepTheBytesTakenUpToTheLimit) {
    FakeSerialPlatform fake;
    fake.AddDevice("COM1").writeLimit = 3;
    const PortHandle handle = fake.OpenDevice("COM1");
    std::uint32_t written = 0;
    ASSERT_TRUE(fake.Write(handle, "hello", 5, &written));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(std::string(fake.Device("COM1").written.begin(), fake.Device("COM1").written.end()),
              "hel");
}

}  // namespace
}  // namespace kel::test_support
