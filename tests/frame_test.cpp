// The computer-link frame layer: frames on the wire and the calls that put
// them there (recording fake), reply reading and checking, and whole
// exchanges with a far side on pseudo-terminal pairs, where the read timeout
// is real.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iterator>
#include <climits>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "link/frame_io.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"
#include "support/fake_serial_platform.h"
#include "support/pty_pair.h"
#include "teskar.h"

namespace kel {
namespace {

using test_support::FakeDevice;
using test_support::FakeSerialPlatform;
using test_support::PlatformCall;
using Calls = std::vector<std::string>;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr LineParameters kLine9600_7E1 {9600, 7, 0, 2};
constexpr unsigned char kCanary = 0x5A;

// The write-mode request for station 1, mode 2, and its frame on the wire.
const std::string kRequest = "01?0EWR2";
const std::string kRequestFrame = "::01?0EWR210\r";
const std::string kAcceptedBody = "01#0EWR5E\r";

std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

template <typename Container>
std::string Text(const Container& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string HexPair(int value) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[(value >> 4) & 0xF], kDigits[value & 0xF]};
}

// ---- checksum ------------------------------------------------------------------

TEST(FrameChecksum, NegatesTheEightBitSumOfCountBytes) {
    struct Case {
        const char* bytes;
        int count;
        std::uint8_t checksum;
    };
    for (const Case& c : {Case {"01?0EWR2", 8, 0x10}, Case {"abc", 3, 0xDA}, Case {"@@@@", 4, 0x00},
                          Case {"{{", 2, 0x0A}, Case {"\xFF", 1, 0x01}, Case {"\x80\x80\x01", 3, 0xFF},
                          Case {"abc", 2, 0x3D}, Case {"abc", 0, 0}, Case {"abc", -1, 0}}) {
        EXPECT_EQ(FrameChecksum(c.bytes, c.count), c.checksum) << c.bytes << " count " << c.count;
    }
}

// ---- sending and reading over the recording fake --------------------------------

class FrameFake : public ::testing::Test {
protected:
    void SetUp() override {
        UseSerialPlatform(&fake_);
        fake_.AddDevice("COM1");
        PortHandle handle = nullptr;
        ASSERT_EQ(OpenPort("COM1", &kLine9600_7E1, 8, &handle), kSerialOk);
        line_.state.port = handle;
        fake_.ClearLog();
        teskar_clear();
    }
    void TearDown() override {
        if (line_.state.port != nullptr) ClosePort(line_.state.port);
        UseSerialPlatform(nullptr);
    }

    FakeDevice& Com1() { return fake_.Device("COM1"); }
    std::string Written() { return Text(Com1().written); }
    std::string Waiting() { return Text(Com1().waiting); }

    // Reads a reply with time enough: the fake never makes anyone wait.
    ReplyEnd Read(char* buffer, int* length) {
        return ReadReplyUntil(line_, buffer, length, Clock::now() + std::chrono::hours(1));
    }

    FakeSerialPlatform fake_;
    LinkContext line_ {};
};

using FrameFakeSend = FrameFake;

TEST_F(FrameFakeSend, FrameIsColonsPayloadUpperCaseChecksumAndCr) {
    struct Case {
        std::string payload;
        std::string frame;
    };
    const std::string longest(kMaxPayloadLength, 'A');  // 595 * 65 = 19 mod 256
    for (const Case& c : {Case {kRequest, kRequestFrame}, Case {"abc", "::abcDA\r"},
                          Case {"@@@@", "::@@@@00\r"}, Case {"{{", "::{{0A\r"}, Case {"", "::00\r"},
                          Case {longest, "::" + longest + "ED\r"}}) {
        SCOPED_TRACE(c.payload.substr(0, 16));
        fake_.ClearLog();
        Com1().written.clear();
        EXPECT_EQ(SendFrame(line_, c.payload.data(), static_cast<int>(c.payload.size())), kLinkOk);
        EXPECT_EQ(Written(), c.frame);
        EXPECT_EQ(fake_.Calls(), (Calls {"ClearError", "Write " + std::to_string(c.frame.size())}));
    }
}

TEST_F(FrameFakeSend, PayloadLengthOutsideZeroTo595IsRefusedWithoutTouchingThePort) {
    // One byte more than fits: copying it would overrun the 600-byte frame.
    const std::string tooLong(kMaxPayloadLength + 1, 'A');
    for (const int length : {-1, INT_MIN, kMaxPayloadLength + 1, INT_MAX}) {
        EXPECT_EQ(SendFrame(line_, tooLong.data(), length), kLinkFailed) << length;
    }
    EXPECT_EQ(SendFrame(line_, nullptr, 8), kLinkFailed);
    EXPECT_TRUE(fake_.Log().empty());
    EXPECT_TRUE(Com1().written.empty());
    EXPECT_EQ(teskar_count(), 0);
}

TEST_F(FrameFakeSend, WaitingInputIsPurgedBeforeTheWriteEvenWhenThePurgeFails) {
    fake_.QueueInput("COM1", Bytes("::01#0EWR5E\rstale"));
    EXPECT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkOk);
    const Calls calls = fake_.Calls();
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(calls.front(), "ClearError");
    EXPECT_EQ(calls.back(), "Write 13");
    EXPECT_EQ(fake_.CallsOf(PlatformCall::Read).size(), 1u);
    EXPECT_EQ(Waiting(), "");
    EXPECT_EQ(Written(), kRequestFrame);

    // The purge's result does not matter: the frame goes out all the same.
    fake_.QueueInput("COM1", Bytes("stale"));
    fake_.Fail(PlatformCall::Read, FakeSerialPlatform::kAlways);
    fake_.ClearLog();
    Com1().written.clear();
    EXPECT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkOk);
    EXPECT_EQ(fake_.Calls().back(), "Write 13");
    EXPECT_EQ(Written(), kRequestFrame);
}

TEST_F(FrameFakeSend, ShortOrFailedWriteGivesTwoAndLogsNothing) {
    Com1().writeLimit = 12;
    EXPECT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkFailed);
    EXPECT_EQ(Written(), kRequestFrame.substr(0, 12));

    Com1().writeLimit = 0xFFFFFFFFu;
    fake_.Fail(PlatformCall::Write);
    EXPECT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkFailed);
    EXPECT_EQ(fake_.Calls().back(), "Write 13");
    EXPECT_EQ(teskar_count(), 0);
}

using FrameFakeReply = FrameFake;

TEST_F(FrameFakeReply, BodyIsStoredOneReadPerByteUpToItsCr) {
    fake_.QueueInput("COM1", Bytes("::" + kAcceptedBody + "next"));
    char buffer[kReplyBufferSize];
    std::memset(buffer, kCanary, sizeof buffer);
    int length = -7;
    ASSERT_EQ(Read(buffer, &length), ReplyEnd::kComplete);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(buffer, 10), kAcceptedBody);
    EXPECT_EQ(static_cast<unsigned char>(buffer[10]), kCanary);
    Calls expected {"Read 2"};
    expected.insert(expected.end(), 10, "Read 1");
    EXPECT_EQ(fake_.Calls(), expected);
    EXPECT_EQ(Waiting(), "next");  // nothing after the CR is consumed
}

TEST_F(FrameFakeReply, FirstTwoBytesOtherThanColonsFailWithoutSearchingFurther) {
    for (const std::string wire : {":X::01#0EWR5E\r", "X:::01#0EWR5E\r", " ::01#0EWR5E\r",
                                    ";:01#0EWR5E\r", ":", ""}) {
        SCOPED_TRACE(wire);
        Com1().waiting.clear();
        fake_.QueueInput("COM1", Bytes(wire));
        char buffer[kReplyBufferSize];
        std::memset(buffer, kCanary, sizeof buffer);
        int length = -7;
        EXPECT_NE(Read(buffer, &length), ReplyEnd::kComplete);
        EXPECT_EQ(length, -7);
        EXPECT_EQ(static_cast<unsigned char>(buffer[0]), kCanary);
        EXPECT_EQ(Waiting(), wire.size() > 2 ? wire.substr(2) : "");
    }
}

TEST_F(FrameFakeReply, BodyNotEndingWithinTheBufferFailsWithoutOverrunAndThePurgeTakesTheRest) {
    constexpr int kGuard = 64;
    unsigned char area[kGuard + kReplyBufferSize + kGuard];
    char* const buffer = reinterpret_cast<char*>(area + kGuard);
    int length = -7;

    // A body of exactly the buffer's size, CR included, still fits.
    std::memset(area, kCanary, sizeof area);
    fake_.QueueInput("COM1", Bytes("::" + std::string(kReplyBufferSize - 1, 'A') + "\r"));
    ASSERT_EQ(Read(buffer, &length), ReplyEnd::kComplete);
    EXPECT_EQ(length, kReplyBufferSize);

    // One that would need more ends the reply once the buffer is full.
    std::memset(area, kCanary, sizeof area);
    length = -7;
    fake_.ClearLog();
    fake_.QueueInput("COM1", Bytes("::" + std::string(700, 'B')));
    EXPECT_NE(Read(buffer, &length), ReplyEnd::kComplete);
    EXPECT_EQ(length, -7);
    EXPECT_EQ(std::string(buffer, kReplyBufferSize), std::string(kReplyBufferSize, 'B'));
    for (int i = 0; i < kGuard; ++i) {
        EXPECT_EQ(area[i], kCanary) << "before the buffer, byte " << i;
        EXPECT_EQ(area[kGuard + kReplyBufferSize + i], kCanary) << "after the buffer, byte " << i;
    }
    EXPECT_EQ(fake_.CallsOf(PlatformCall::Read).size(), 1u + kReplyBufferSize);
    EXPECT_EQ(Com1().waiting.size(), 100u);

    EXPECT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkOk);
    EXPECT_TRUE(Com1().waiting.empty());
    EXPECT_EQ(Written(), kRequestFrame);
}

// ---- checking replies ----------------------------------------------------------

using V = ReplyVerdict;

struct CheckCase {
    const char* name;
    std::string body;
    ReplyVerdict verdict;
    int length = -1;  // -1: the body's size
};

TEST(FrameCheck, RepliesAgainstTheWriteModeRequest) {
    const CheckCase cases[] = {
        {"accepted", kAcceptedBody, V::kAccepted},
        {"checksum off by one", "01#0EWR5F\r", V::kMismatch},
        {"checksum digit not hex, adding up all the same", "01#0EWRQE\r", V::kMismatch},
        {"empty body", "\r", V::kMismatch},
        {"other station, refused", "02%00B00\r", V::kMismatch},
        {"other station, first digit", "11#0EWR5E\r", V::kMismatch},
        {"write mode asked, bad checksum", "01%01000\r", V::kWriteModeRequired},
        {"write mode asked, other station", "02%01000\r", V::kMismatch},
        {"refused", "01%00300\r", V::kRefused},
        {"status character neither # nor %", "01!0EWR5E\r", V::kInvalid},
        // Each of these carries its own correct checksum, so only the
        // field named can fail it.
        {"zero byte differs", "01#1EWR5D\r", V::kMismatch},
        {"mnemonic differs at 4", "01#0FWR5D\r", V::kMismatch},
        {"mnemonic differs at 5", "01#0EXR5D\r", V::kMismatch},
        {"mnemonic differs at 6", "01#0EWS5D\r", V::kMismatch},
        // Bodies too short for the fields compared.
        {"CR in place of the status character", "01\r", V::kInvalid},
        {"status character not stored", "01", V::kInvalid},
        {"no zero byte", "01#\r", V::kMismatch},
        {"refused without status digits", "01%\r", V::kInvalid},
        {"length zero", kAcceptedBody, V::kMismatch, 0},
        {"negative length", kAcceptedBody, V::kMismatch, -5},
        {"length beyond any reply buffer", kAcceptedBody, V::kMismatch, 100000},
    };
    // Every body overwrites a stale reply, a write-mode refusal or an
    // acceptance: a check that reads beyond the stored body finds them.
    const std::string stales[] = {"01%01077\r", kAcceptedBody};
    for (const CheckCase& c : cases) {
        const int length = c.length == -1 ? static_cast<int>(c.body.size()) : c.length;
        for (const std::string& stale : stales) {
            SCOPED_TRACE(std::string(c.name) + ", over " + stale.substr(0, 3));
            std::vector<char> body(kReplyBufferSize, '\0');
            std::memcpy(body.data(), stale.data(), stale.size());
            std::memcpy(body.data(), c.body.data(), c.body.size());
            EXPECT_EQ(CheckReply(body.data(), kRequest.data(), length).verdict, c.verdict);
        }
    }
}

TEST(FrameCheck, EveryStatusAfterPercentAndEveryStatusCharacter) {
    const int documented[] = {0x01, 0x02, 0x05, 0x06, 0x07, 0x0A, 0x0B, 0x0C, 0x0D,
                              0x0E, 0x11, 0x12, 0x1B, 0x30, 0x31, 0x32, 0x33};
    for (int status = 0; status < 256; ++status) {
        SCOPED_TRACE("status 0x" + HexPair(status));
        const std::string body = "01%0" + HexPair(status) + "R00\r";
        const ReplyCheck check = CheckReply(body.data(), kRequest.data(), static_cast<int>(body.size()));
        EXPECT_EQ(check.verdict, status == 0x10 ? V::kWriteModeRequired : V::kRefused);
        EXPECT_EQ(check.status, static_cast<std::uint32_t>(status));
        const bool listed = std::find(std::begin(documented), std::end(documented), status) != std::end(documented);
        EXPECT_EQ(IsDocumentedErrorStatus(static_cast<std::uint32_t>(status)), listed);
    }
    for (int code = 0; code < 256; ++code) {
        if (code == '%') continue;  // its statuses are covered above
        std::string body = kAcceptedBody;
        body[2] = static_cast<char>(code);
        EXPECT_EQ(CheckReply(body.data(), kRequest.data(), static_cast<int>(body.size())).verdict,
                  code == '#' ? V::kAccepted : V::kInvalid)
            << code;
    }
}

// ---- whole exchanges on a pseudo-terminal --------------------------------------

constexpr milliseconds kArrival {2000};

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

class FramePty : public ::testing::Test {
protected:
    void SetUp() override {
        UseSerialPlatform(nullptr);
        ASSERT_TRUE(pty_.ok()) << pty_.error();
        PortHandle handle = nullptr;
        ASSERT_EQ(OpenPort(pty_.path().c_str(), &kLine9600_7E1, 8, &handle), kSerialOk);
        line_.state.port = handle;
        teskar_clear();
    }
    void TearDown() override {
        if (line_.state.port != nullptr) ClosePort(line_.state.port);
    }

    test::PtyPair pty_;
    LinkContext line_ {};
};

TEST_F(FramePty, FrameReachesTheFarSideAfterStaleInputIsDiscardedAndItsReplyChecks) {
    const std::string stale = "::01#0EWR5F\r";
    ASSERT_TRUE(pty_.WriteFromFarSide(stale.data(), stale.size()));
    ASSERT_TRUE(pty_.WaitForBytesAtSlave(static_cast<int>(stale.size()), kArrival));

    ASSERT_EQ(SendFrame(line_, kRequest.data(), 8), kLinkOk);
    EXPECT_EQ(pty_.BytesWaitingAtSlave(), 0);
    EXPECT_EQ(Text(pty_.ReadOnFarSide(kRequestFrame.size(), kArrival)), kRequestFrame);
    EXPECT_TRUE(pty_.DrainFarSide(milliseconds(50)).empty());

    const std::string reply = "::" + kAcceptedBody;
    ASSERT_TRUE(pty_.WriteFromFarSide(reply.data(), reply.size()));
    char buffer[kReplyBufferSize];
    int length = 0;
    ASSERT_EQ(ReadReplyUntil(line_, buffer, &length, Clock::now() + kArrival), ReplyEnd::kComplete);
    EXPECT_EQ(length, 10);
    EXPECT_EQ(std::string(buffer, 10), kAcceptedBody);
    EXPECT_EQ(CheckReply(buffer, kRequest.data(), length).verdict, ReplyVerdict::kAccepted);
    EXPECT_EQ(teskar_count(), 0);
}

TEST_F(FramePty, ReplyThatStopsHalfWayOrNeverComesFailsAfterTheReadTimeout) {
    ASSERT_NE(SetReadTimeout(line_.state.port, 5), 0);  // 50 ms
    for (const std::string& wire : {std::string(), std::string(":"), std::string("::"),
                                    std::string("::01#0E"), "::" + kAcceptedBody.substr(0, 9)}) {
        SCOPED_TRACE("'" + wire + "'");
        ASSERT_TRUE(pty_.WriteFromFarSide(wire.data(), wire.size()));
        ASSERT_TRUE(pty_.WaitForBytesAtSlave(static_cast<int>(wire.size()), kArrival));
        char buffer[kReplyBufferSize];
        int length = -7;
        const Clock::time_point start = Clock::now();
        EXPECT_NE(ReadReplyUntil(line_, buffer, &length, start + kArrival), ReplyEnd::kComplete);
        const long long elapsed = MillisecondsSince(start);
        EXPECT_EQ(length, -7);
        EXPECT_GE(elapsed, 45);
        EXPECT_LE(elapsed, 1500);
        EXPECT_EQ(pty_.BytesWaitingAtSlave(), 0);
    }
}

}  // namespace
}  // namespace kel
