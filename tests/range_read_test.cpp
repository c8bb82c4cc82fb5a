// Reading runs of items in one exchange: the request bytes, the bound that
// keeps a reply within the reply buffer, the decoding, and whole runs read
// from the simulator on a pseudo-terminal, relays through their MA bytes
// included.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>

#include "link/link_context.h"
#include "link/read_item.h"
#include "link/read_range.h"
#include "protocol/frame.h"
#include "protocol/range_reads.h"
#include "serial/serial_port.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"

namespace kel {
namespace {

std::string Payload(const ItemRange& range) {
    Request request;
    if (!BuildRangeReadRequest(range, &request)) return "refused";
    return std::string(request.payload, static_cast<std::size_t>(request.length));
}

TEST(RangeRequest, BytesOfEachAreaAndEveryRangeThatIsNot) {
    const std::pair<ItemRange, std::string> cases[] = {
        {{1, kAreaMA, 0100, 64}, "01?0MRGA0100A0177"},
        {{012, kAreaMB, 0, 1}, "12?0MRGB0000B0000"},
        {{1, kAreaM39, 0700, 0100}, "01?0MRG3970039777"},
        {{1, kAreaT, 5, 8}, "01?0MTC00050014"},
        {{1, kAreaMA, 895, 1}, "01?0MRGA1577A1577"},
        {{1, kAreaMA, 895, 2}, "refused"},             // past the end of MA
        {{1, kAreaMA, 0, kMaxRegisterRun + 1}, "refused"},
        {{1, kAreaT, 0, kMaxTimerRun + 1}, "refused"},
        {{1, kAreaT, 250, 7}, "refused"},
        {{1, kAreaMA, 0, 0}, "refused"},
        {{1, kAreaMA, -1, 2}, "refused"},
        {{64, kAreaMA, 0, 2}, "refused"},
        {{1, kAreaR, 0, 8}, "refused"},                // relays are read as MA bytes
        {{1, kAreaRT, 0, 8}, "refused"},
    };
    for (const auto& [range, payload] : cases) EXPECT_EQ(Payload(range), payload) << range.area << " " << range.first;
}

TEST(RangeRequest, LongestRunsFillTheReplyBufferAndNoMore) {
    for (const std::int32_t area : {kAreaMA, kAreaM09, kAreaT}) {
        const int most = MaxRunItems(area);
        const int perItem = area == kAreaT ? kTimerNumberChars : kRegisterByteChars;
        const int longest = RangeReplyLength({1, area, 0, most});
        EXPECT_LE(longest, kReplyBufferSize) << area;
        EXPECT_GT(longest + perItem, kReplyBufferSize) << area;
    }
}

TEST(RangeDecode, RepliesOfAnotherLengthOrWithGarbledDigitsAreNotTheRunsAnswer) {
    const ItemRange range {1, kAreaMA, 0100, 2};
    Request request;
    ASSERT_TRUE(BuildRangeReadRequest(range, &request));
    const auto decoded = [&](const std::string& data) {
        const std::string body = "01#0MRGA0100A0101" + data + "00\r";
        RangeValues values;
        return DecodeRangeReply(range, request, body.data(), static_cast<int>(body.size()), &values)
                   ? std::to_string(values.values[0]) + "," + std::to_string(values.values[1])
                   : "refused";
    };
    EXPECT_EQ(decoded("34FF"), "52,255");
    EXPECT_EQ(decoded("34"), "refused");
    EXPECT_EQ(decoded("34FF00"), "refused");
    EXPECT_EQ(decoded("3:FF"), "refused");
    EXPECT_EQ(decoded("34fF"), "refused");
}

class RangePty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        const LineParameters parameters {9600, 8, 0, 0};
        PortHandle port = nullptr;
        ASSERT_EQ(OpenPort(simulator_.portName().c_str(), &parameters, 8, &port), kSerialOk);
        line_.Configure({.baudRate = 9600});  // WAITINGTIME 0
        AttachPort(line_, port, 50);
    }
    void TearDown() override {
        if (line_.state.port != nullptr) ClosePort(line_.state.port);
    }

    jwsim::Simulator simulator_ {{.stations = {1}}};
    LinkContext line_;
};

TEST_F(RangePty, LongestRegisterRunAndTimerRunComeWhole) {
    simulator_.Edit(1, [](jwsim::Controller& c) {
        for (int i = 0; i < kMaxRegisterRun; ++i) c.SetRegister('A', i, static_cast<std::uint8_t>(i * 7));
        c.SetTimer(3, 1234, '4');
        c.SetTimer(4, 99, '2');
    });
    RangeValues values;
    ASSERT_EQ(ReadRange(line_, {1, kAreaMA, 0, kMaxRegisterRun}, &values), kLinkOk);
    for (int i = 0; i < kMaxRegisterRun; ++i) ASSERT_EQ(values.values[i], (i * 7) & 0xFF) << i;
    ASSERT_EQ(ReadRange(line_, {1, kAreaT, 2, 3}, &values), kLinkOk);
    EXPECT_EQ(values.values[0], 0);
    EXPECT_EQ(values.values[1], 1234);
    EXPECT_EQ(values.values[2], 99);
    EXPECT_TRUE(values.delivered[0] && values.delivered[1] && values.delivered[2]);
    EXPECT_EQ(simulator_.Payloads(), (std::vector<std::string> {"01?0MRGA0000A0440", "01?0MTC00020004"}));
}

TEST_F(RangePty, RelayReadAsItsMaByteAgreesWithMrlAndADamagedReplyIsTriedAgain) {
    simulator_.Edit(1, [](jwsim::Controller& c) {
        c.SetRelay(0107, '1');
        c.SetRelay(0110, '1');
    });
    simulator_.InjectFault(jwsim::DefaultFault(jwsim::FaultKind::kWrongChecksum));
    RangeValues values;
    ASSERT_EQ(ReadRange(line_, {1, kAreaMA, 010, 2}, &values), kLinkOk);
    EXPECT_EQ(values.values[0], 0x80);
    EXPECT_EQ(values.values[1], 0x01);
    std::int32_t relay = 0;
    bool delivered = false;
    ASSERT_EQ(ReadItem(line_, {1, kAreaR, 0107, 0}, &relay, &delivered), kLinkOk);
    EXPECT_EQ(relay, 1);
    EXPECT_EQ(simulator_.Payloads(),
              (std::vector<std::string> {"01?0MRGA0010A0011", "01?0MRGA0010A0011", "01?0MRL00107"}));
}

// A program that drives the line itself stops it from another thread: the
// stop ends the wait for a silent station at once, whatever the link
// timeout, and fails the read as a timeout would.
TEST_F(RangePty, AStopEndsAMinuteLongWaitForASilentStation) {
    std::atomic<bool> stop {false};
    LinkContext link({.baudRate = 9600}, {.stop = &stop});
    AttachPort(link, line_.state.port, 6000);  // 60 s
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        stop.store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    std::int32_t value = 0;
    bool delivered = false;
    EXPECT_EQ(ReadItem(link, {2, kAreaMA, 0100, 2}, &value, &delivered), kLinkFailed);
    const auto took = std::chrono::steady_clock::now() - start;
    stopper.join();
    EXPECT_FALSE(delivered);
    EXPECT_LT(took, std::chrono::seconds(2));
    EXPECT_EQ(simulator_.Payloads(), (std::vector<std::string> {"02?0MRGA0100A0101"}));
}

// How often the calling thread has blocked (and so woken) so far.
long WakesOfThisThread() {
    rusage usage {};
    getrusage(RUSAGE_THREAD, &usage);
    return usage.ru_nvcsw;
}

// A run's reply arrives a character at a time on a paced line. A link with
// a stop flag (as the gateway's scan has) waits for the rest of it instead
// of waking for each piece; a link without one reads every piece as it
// comes. Both read the same bytes to the same values.
TEST(RangePaced, AReplyInPiecesIsReadWholeWithAFewWakesWhenItsLengthIsKnown) {
    jwsim::Simulator simulator({.stations = {1}, .baud = 38400});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    simulator.Edit(1, [](jwsim::Controller& c) {
        for (int i = 0; i < 64; ++i) c.SetRegister('A', i, static_cast<std::uint8_t>(i * 3));
    });
    std::atomic<bool> stop {false};
    long wakes[2] = {};
    for (const bool withStop : {false, true}) {
        const LineParameters parameters {38400, 8, 0, 0};
        PortHandle port = nullptr;
        ASSERT_EQ(OpenPort(simulator.portName().c_str(), &parameters, 8, &port), kSerialOk);
        LinkContext link({.baudRate = 38400}, {.stop = withStop ? &stop : nullptr});
        AttachPort(link, port, 50);
        RangeValues values;
        const long before = WakesOfThisThread();
        const int result = ReadRange(link, {1, kAreaMA, 0, 64}, &values, 1);
        wakes[withStop] = WakesOfThisThread() - before;
        ClosePort(port);
        ASSERT_EQ(result, kLinkOk) << withStop;
        for (int i = 0; i < 64; ++i) ASSERT_EQ(values.values[i], (i * 3) & 0xFF) << i;
    }
    // A reply of 150 characters, 39 ms on the line: read in waits of at
    // most 10 ms with a stop flag, a piece at a time without one.
    std::printf("wakes reading a 64-byte run: %ld without a stop flag, %ld with\n", wakes[false], wakes[true]);
    EXPECT_GT(wakes[false], 20);
    EXPECT_LE(wakes[true], 15) << "without a stop flag: " << wakes[false];
    EXPECT_EQ(simulator.Payloads(), (std::vector<std::string>(2, "01?0MRGA0000A0077")));

    // A reply broken while the link waits for the rest of it costs that
    // attempt only: the next starts on a frame boundary and reads the run.
    const LineParameters parameters {38400, 8, 0, 0};
    PortHandle port = nullptr;
    ASSERT_EQ(OpenPort(simulator.portName().c_str(), &parameters, 8, &port), kSerialOk);
    LinkContext link({.baudRate = 38400}, {.stop = &stop});
    AttachPort(link, port, 20);
    for (const auto kind : {jwsim::FaultKind::kCutShort, jwsim::FaultKind::kOverLong, jwsim::FaultKind::kNoHeader,
                            jwsim::FaultKind::kGarbageBefore, jwsim::FaultKind::kNoReply}) {
        SCOPED_TRACE(static_cast<int>(kind));
        simulator.ClearRequests();
        simulator.InjectFault(jwsim::DefaultFault(kind));
        RangeValues values;
        EXPECT_EQ(ReadRange(link, {1, kAreaMA, 0, 64}, &values, 2), kLinkOk);
        EXPECT_EQ(values.values[63], (63 * 3) & 0xFF);
        EXPECT_EQ(simulator.Payloads().size(), 2u);
    }
    ClosePort(port);
}

}  // namespace
}  // namespace kel
