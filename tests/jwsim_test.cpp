// The controller simulator: its reply functions byte for byte, the framing
// of requests, write protection, and the simulator itself serving a real
// pseudo-terminal, fault by fault.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <ostream>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelwnsrp.h"
#include "protocol/frame.h"
#include "support/pty_pair.h"
#include "tools/jwsim/command_line.h"
#include "tools/jwsim/controller.h"
#include "tools/jwsim/memory_file.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"
#include "tools/jwsim/stepper.h"

namespace kel::jwsim {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kArrival {2000};  // a reply arrives well within this
constexpr milliseconds kQuiet {200};     // "nothing came" after a request was seen

const std::string kEwr2 = "01?0EWR2";
const std::string kEwr2Frame = "::01?0EWR210\r";
const std::string kEwr2Reply = "::01#0EWR5E\r";

}  // namespace

// Readable failures for the recorded requests.
void PrintTo(const ReceivedRequest& request, std::ostream* out) {
    *out << "{\"" << Escaped(request.payload) << "\", \"" << Escaped(request.checksum) << "\", "
         << (request.checksumOk ? "ok" : "bad") << "}";
}

namespace {

// A controller with something in every area the reply table reads.
Controller Preset() {
    Controller c;
    c.SetRelay(0777, '1');
    c.SetRelay(7167, '1');
    c.SetRtRelay(0377, '1');
    c.SetTimer(5, 1234, '4');
    c.SetTimer(6, 1, '2');
    c.SetTimerRaw(7, "0090");
    c.SetRegisters('A', 0100, {0x34, 0x12});
    c.SetRegisters('A', 895, {0xFF});
    c.SetRegisters('B', 010, {0xAB});
    c.SetRegisters('0', 020, {0x0D, 0x0C, 0x0B, 0x0A});
    c.SetRegisters('3', 0777, {0x5A});
    return c;
}

// ---- frames ---------------------------------------------------------------------

TEST(JwsimFrame, WorkedExampleRequestIsAcceptedAndAnswered) {
    EXPECT_EQ(ChecksumDigits(kEwr2), "10");
    std::vector<ReceivedRequest> requests;
    RequestFramer framer;
    framer.Feed(kEwr2Frame.data(), kEwr2Frame.size(), &requests);
    ASSERT_EQ(requests, (std::vector<ReceivedRequest> {{kEwr2, "10", true}}));

    Controller controller;
    const std::string body = ReplyBodyFor(kEwr2, controller);
    EXPECT_EQ(body, "01#0EWR");
    EXPECT_EQ(FrameFor(body), kEwr2Reply);
    EXPECT_EQ(controller.writeMode, 2);
}

struct FramerCase {
    const char* name;
    std::string bytes;
    std::vector<ReceivedRequest> requests;
};

TEST(JwsimFrame, FramerFindsRequestsWholeAndFedByteByByte) {
    const std::string longest(kMaxRequestLength - 3, 'A');  // with its digits, one below the limit
    const std::string tooLong(kMaxRequestLength - 2, 'A');
    const std::vector<FramerCase> cases = {
        {"plain", kEwr2Frame, {{kEwr2, "10", true}}},
        {"garbage before", std::string("\0x\xFF:\r", 5) + kEwr2Frame, {{kEwr2, "10", true}}},
        {"checksum off by one", "::01?0EWR211\r", {{kEwr2, "11", false}}},
        {"letters in the checksum", "::abcDA\r", {{"abc", "DA", true}}},
        {"lower-case checksum", "::abcda\r", {{"abc", "da", false}}},
        {"non-hex digit HexByte alone would take for 0x10", "::01?0EWR20G\r", {{kEwr2, "0G", false}}},
        {"empty frame", "::\r", {{"", "", false}}},
        {"one character", "::X\r", {{"", "X", false}}},
        {"cut short, then a whole one", "::01?0EW" + kEwr2Frame, {{kEwr2, "10", true}}},
        {"two in a row", kEwr2Frame + "::abcDA\r", {{kEwr2, "10", true}, {"abc", "DA", true}}},
        {"CR outside a frame", "\r\r", {}},
        {"longest", "::" + longest + ChecksumDigits(longest) + "\r",
         {{longest, ChecksumDigits(longest), true}}},
        {"too long, dropped", "::" + tooLong + ChecksumDigits(tooLong) + "\r", {}},
        {"too long, then a whole one", "::" + std::string(700, 'A') + "\r" + kEwr2Frame, {{kEwr2, "10", true}}},
    };
    for (const FramerCase& c : cases) {
        std::vector<ReceivedRequest> whole;
        RequestFramer wholeFramer;
        wholeFramer.Feed(c.bytes.data(), c.bytes.size(), &whole);
        EXPECT_EQ(whole, c.requests) << c.name;

        std::vector<ReceivedRequest> pieces;
        RequestFramer pieceFramer;
        for (const char byte : c.bytes) pieceFramer.Feed(&byte, 1, &pieces);
        EXPECT_EQ(pieces, c.requests) << c.name << " (byte by byte)";
    }
}

TEST(JwsimFrame, EscapedShowsControlCharacters) {
    EXPECT_EQ(Escaped(kEwr2Reply), "::01#0EWR5E\\r");
    EXPECT_EQ(Escaped(std::string("\0\xFF\\\n\x7F", 5)), "\\x00\\xFF\\\\\\n\\x7F");
}

// ---- replies --------------------------------------------------------------------

struct ReplyCase {
    std::string payload;
    std::string body;
};

TEST(JwsimReply, EveryCommandByteForByte) {
    const std::vector<ReplyCase> cases = {
        // relays
        {"01?0MRL00777", "01#0MRL007771"},
        {"01?0MRL00776", "01#0MRL007760"},
        {"01?0MRL15777", "01#0MRL157771"},
        {"01?0MRLT0377", "01#0MRLT03771"},
        {"01?0MRLT0000", "01#0MRLT00000"},
        {"01?0MRL16000", "01%005"},
        {"01?0MRLT0400", "01%005"},
        {"01?0MRL00778", "01%005"},
        {"01?0MRL0077", "01%001"},
        {"01?0MRL007770", "01%001"},
        // timers and counters: values, then items
        {"01?0MTC00050005", "01#0MTC00050005341204"},
        {"01?0MTC00050007", "01#0MTC00050007341201000090040204"},
        {"01?0MTC03770377", "01#0MTC03770377000004"},
        {"01?0MTC00070005", "01%005"},
        {"01?0MTC00050400", "01%005"},
        {"01?0MTC0005000", "01%001"},
        // registers, lowest address first
        {"01?0MRGA0100A0101", "01#0MRGA0100A01013412"},
        {"01?0MRGA1577A1577", "01#0MRGA1577A1577FF"},
        {"01?0MRGB0010B0010", "01#0MRGB0010B0010AB"},
        {"01?0MRG0902009023", "01#0MRG09020090230D0C0B0A"},
        {"01?0MRG3977739777", "01#0MRG39777397775A"},
        {"01?0MRG1902019020", "01#0MRG190201902000"},
        {"01?0MRGA1577A1600", "01%005"},
        {"01?0MRGB0777B1000", "01%005"},
        {"01?0MRG0002000020", "01%005"},
        {"01?0MRGA0100B0100", "01%005"},
        {"01?0MRGC0000C0000", "01%005"},
        {"01?0MRGA0101A0100", "01%005"},
        {"01?0MRGa0100a0100", "01%005"},
        {"01?0MRGA0100A010", "01%001"},
        // writes are acknowledged with the head alone
        {"01?0SRR007771", "01#0SRR"},
        {"01?0SRRT03770", "01#0SRR"},
        {"01?0SRR160001", "01%005"},
        {"01?0SRR00777", "01%001"},
        {"01?0SRT00121", "01#0SRT"},
        {"01?0SRT04001", "01%005"},
        {"01?0SRT0012", "01%001"},
        {"01?0WRGA0100A01013412", "01#0WRG"},
        {"01?0WRG09100091030D0C0B0A", "01#0WRG"},
        {"01?0WRGA0100A0101341", "01%006"},
        {"01?0WRGA0100A010134120", "01%006"},
        {"01?0WRGA0100A0101", "01%006"},
        {"01?0WRGA0100A01013a12", "01%006"},
        {"01?0WRGA0100A0101 412", "01%006"},
        {"01?0WRGA1577A1600341200", "01%005"},
        {"01?0WRGA010", "01%001"},
        {"01?0EWR0", "01#0EWR"},
        {"01?0EWR1", "01#0EWR"},
        {"01?0EWR3", "01%006"},
        {"01?0EWR", "01%001"},
        {"01?0EWR22", "01%001"},
        // the head
        {"77?0MRL00777", "77#0MRL007771"},
        {"01?4MRL00777", "01#4MRL007771"},
        {"01?4XYZ", "01%401"},
        {"01?0mrl00777", "01%001"},
        {"01!0MRL00777", "01%001"},
        {"01?gMRL00777", "01%001"},
        {"01?", "01%001"},
    };
    for (const ReplyCase& c : cases) {
        Controller controller = Preset();
        const std::string body = ReplyBodyFor(c.payload, controller);
        EXPECT_EQ(body, c.body) << c.payload;
        if (body.size() > 2 && body[2] == '#') {
            // The driver's own check takes every acknowledgement for its request.
            const std::string stored = FrameFor(body).substr(2);
            EXPECT_EQ(CheckReply(stored.data(), c.payload.data(), static_cast<int>(stored.size())).verdict,
                      ReplyVerdict::kAccepted)
                << c.payload;
        }
    }
}

TEST(JwsimReply, ErrorRepliesCarryTheirStatusForTheDriver) {
    Controller controller;
    controller.protect = true;
    const std::string stored = FrameFor(ReplyBodyFor("05?0SRR007771", controller)).substr(2);
    EXPECT_EQ(stored, "05%010" + ChecksumDigits("05%010") + "\r");
    EXPECT_EQ(CheckReply(stored.data(), "05?0SRR007771", static_cast<int>(stored.size())).verdict,
              ReplyVerdict::kWriteModeRequired);
}

TEST(JwsimReply, TimerValuesAreEncodedTensUnitsThousandsHundreds) {
    const std::vector<std::pair<int, std::string>> cases = {
        {1234, "3412"}, {1, "0100"}, {1999, "9919"}, {1000, "0010"}, {0, "0000"}, {190, "9001"}, {305, "0503"}};
    for (const auto& [value, text] : cases) {
        const auto encoded = EncodeTimerValue(value);
        EXPECT_EQ(std::string(encoded.begin(), encoded.end()), text) << value;
    }
    EXPECT_THROW(EncodeTimerValue(2000), std::out_of_range);
    EXPECT_THROW(EncodeTimerValue(-1), std::out_of_range);
}

struct WriteCase {
    std::string write;
    std::string read;
    std::string readBody;
};

TEST(JwsimReply, WritesAreReadBack) {
    const std::vector<WriteCase> cases = {
        {"01?0SRR000011", "01?0MRL00001", "01#0MRL000011"},
        {"01?0SRR007770", "01?0MRL00777", "01#0MRL007770"},
        {"01?0SRR157770", "01?0MRL15777", "01#0MRL157770"},
        {"01?0SRR157772", "01?0MRL15777", "01#0MRL157771"},  // refused: a relay is 0 or 1
        {"01?0SRR000011", "01?0MRGA0000A0000", "01#0MRGA0000A000002"},  // relays are the MA bytes' bits
        {"01?0WRGA0000A000081", "01?0MRL00007", "01#0MRL000071"},
        {"01?0SRRT00171", "01?0MRLT0017", "01#0MRLT00171"},
        {"01?0SRRT00171", "01?0MRL00017", "01#0MRL000170"},  // RT and R are apart
        {"01?0SRT00051", "01?0MTC00050005", "01#0MTC00050005341204"},  // the value stays
        {"01?0WRGA0100A0101CDAB", "01?0MRGA0100A0101", "01#0MRGA0100A0101CDAB"},
        {"01?0WRGA0100A010000", "01?0MRGA0100A0101", "01#0MRGA0100A01010012"},
        {"01?0WRG09100091030D0C0B0A", "01?0MRG0910009103", "01#0MRG09100091030D0C0B0A"},
        {"01?0WRG29100291030D0C0B0A", "01?0MRG0910009103", "01#0MRG091000910300000000"},  // files apart
        {"01?0WRGB0777B077799", "01?0MRGB0777B0777", "01#0MRGB0777B077799"},
        {"01?0WRGA0100A01013", "01?0MRGA0100A0101", "01#0MRGA0100A01013412"},  // refused: unchanged
    };
    for (const WriteCase& c : cases) {
        Controller controller = Preset();
        ReplyBodyFor(c.write, controller);
        EXPECT_EQ(ReplyBodyFor(c.read, controller), c.readBody) << c.write;
    }
    Controller controller;
    ReplyBodyFor("01?0SRT00121", controller);
    EXPECT_EQ(controller.Timer(012).set, '1');
    EXPECT_EQ(ReplyBodyFor("01?0SRR00003X", controller), "01%006");
    EXPECT_EQ(controller.Relay(3), '0');
}

TEST(JwsimReply, WriteProtectionUntilEwrOneOrTwoAndAgainAfterEwrZero) {
    const std::vector<ReplyCase> sequence = {
        {"01?0SRR007771", "01%010"},
        {"01?0SRT00121", "01%010"},
        {"01?0WRGA0100A01013412", "01%010"},
        {"01?0SRR160001", "01%005"},  // address errors come first
        {"01?0MRL00777", "01#0MRL007770"},  // reads pass, nothing was written
        {"01?0EWR2", "01#0EWR"},
        {"01?0SRR007771", "01#0SRR"},
        {"01?0MRL00777", "01#0MRL007771"},
        {"01?0EWR0", "01#0EWR"},
        {"01?0SRR007770", "01%010"},
        {"01?0MRL00777", "01#0MRL007771"},
        {"01?0EWR1", "01#0EWR"},
        {"01?0SRR007770", "01#0SRR"},
        {"01?0MRL00777", "01#0MRL007770"},
    };
    Controller controller;
    controller.protect = true;
    for (const ReplyCase& step : sequence) EXPECT_EQ(ReplyBodyFor(step.payload, controller), step.body) << step.payload;

    Controller open;
    EXPECT_EQ(ReplyBodyFor("01?0SRR007771", open), "01#0SRR");
}

// ---- faults, as bytes -----------------------------------------------------------

TEST(JwsimFault, FaultyFrameOfEachKind) {
    const std::string body = "01#0EWR";
    struct Case {
        Fault fault;
        std::string bytes;
    };
    const std::vector<Case> cases = {
        {{.kind = FaultKind::kNoReply}, ""},
        {{.kind = FaultKind::kWrongChecksum}, "::01#0EWR5F\r"},
        {{.kind = FaultKind::kOtherStation}, "::02#0EWR5D\r"},
        {{.kind = FaultKind::kCutShort}, "::01#0"},
        {{.kind = FaultKind::kNoHeader}, "01#0EWR5E\r"},
        {{.kind = FaultKind::kOverLong}, "::01#0EWR" + std::string(800, '0')},
        {{.kind = FaultKind::kGarbageBefore}, std::string("\0x\xFF", 3) + kEwr2Reply},
        {{.kind = FaultKind::kGarbageBefore, .garbage = "::"}, "::" + kEwr2Reply},
        {{.kind = FaultKind::kDelay, .delay = milliseconds(5)}, kEwr2Reply},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FaultyFrame(body, c.fault), c.bytes) << static_cast<int>(c.fault.kind);
    }
    EXPECT_EQ(FaultyFrame("77#0EWR", {.kind = FaultKind::kOtherStation}), FrameFor("00#0EWR"));
}

// ---- the simulator on a pseudo-terminal -------------------------------------------

// The driver's end of the line: the slave, opened by path as the driver does.
class DriverEnd {
public:
    explicit DriverEnd(const std::string& path) : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {}
    ~DriverEnd() {
        if (fd_ >= 0) close(fd_);
    }
    DriverEnd(const DriverEnd&) = delete;
    DriverEnd& operator=(const DriverEnd&) = delete;
    bool ok() const { return fd_ >= 0; }

    bool Send(const std::string& bytes) const {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
                return false;
            }
        }
        return true;
    }

    // Bytes until a CR (included), count bytes, or the timeout.
    std::string Read(std::size_t count, milliseconds timeout) const {
        std::string bytes;
        const Clock::time_point deadline = Clock::now() + timeout;
        while (bytes.size() < count && (bytes.empty() || bytes.back() != '\r')) {
            const auto left = std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            pollfd pfd {fd_, POLLIN, 0};
            const int ready = poll(&pfd, 1, left < 0 ? 0 : static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            char byte = 0;
            const ssize_t n = read(fd_, &byte, 1);
            if (n == 1) bytes += byte;
            if (n < 0 && errno != EINTR && errno != EAGAIN) break;
        }
        return bytes;
    }
    std::string Reply() const { return Read(4096, kArrival); }
    // Whatever arrives within wait.
    std::string Silence(milliseconds wait = kQuiet) const { return Read(4096, wait); }

private:
    int fd_;
};

TEST(JwsimSimulator, WorkedExampleOverAPseudoTerminal) {
    std::mutex traceMutex;
    std::vector<std::string> trace;
    Simulator simulator({.trace = [&](char direction, const std::string& bytes) {
        std::lock_guard<std::mutex> lock(traceMutex);
        trace.push_back(direction + bytes);
    }});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    EXPECT_EQ(simulator.devicePath().rfind("/dev/pts/", 0), 0u) << simulator.devicePath();
    EXPECT_EQ("/dev/" + simulator.portName(), simulator.devicePath());

    DriverEnd line(simulator.devicePath());
    ASSERT_TRUE(line.ok());
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    EXPECT_EQ(simulator.Requests(), (std::vector<ReceivedRequest> {{kEwr2, "10", true}}));
    EXPECT_EQ(simulator.Payloads(), std::vector<std::string> {kEwr2});
    EXPECT_EQ(simulator.Snapshot(1).writeMode, 2);
    std::lock_guard<std::mutex> lock(traceMutex);
    EXPECT_EQ(trace, (std::vector<std::string> {"<" + kEwr2Frame, ">" + kEwr2Reply}));
}

TEST(JwsimSimulator, BadChecksumIsRecordedAndNotAnswered) {
    Simulator simulator;
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    ASSERT_TRUE(line.Send("junk::01?0EWR211\r"));
    ASSERT_TRUE(simulator.WaitForRequests(1, kArrival));
    EXPECT_EQ(line.Silence(), "");
    EXPECT_EQ(simulator.Snapshot(1).writeMode, 0);

    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    EXPECT_EQ(simulator.Requests(), (std::vector<ReceivedRequest> {{kEwr2, "11", false}, {kEwr2, "10", true}}));
    EXPECT_EQ(simulator.Payloads(), std::vector<std::string> {kEwr2});
    simulator.ClearRequests();
    EXPECT_TRUE(simulator.Requests().empty());
    EXPECT_FALSE(simulator.WaitForRequests(1, milliseconds(20)));
}

TEST(JwsimSimulator, StationsHaveTheirOwnMemoryAndOthersGetNoReply) {
    Simulator simulator({.stations = {1, 8}, .protect = true});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    ASSERT_TRUE(simulator.Edit(8, [](Controller& c) { c.SetRelay(0, '1'); }));
    EXPECT_FALSE(simulator.Edit(2, [](Controller&) {}));
    EXPECT_THROW(simulator.Snapshot(2), std::out_of_range);
    DriverEnd line(simulator.devicePath());

    const std::vector<ReplyCase> exchanges = {
        {"10?0MRL00000", "10#0MRL000001"},
        {"01?0MRL00000", "01#0MRL000000"},
        {"10?0EWR2", "10#0EWR"},
        {"10?0SRR000000", "10#0SRR"},
        {"01?0SRR000011", "01%010"},  // station 1 is still protected
    };
    for (const ReplyCase& c : exchanges) {
        ASSERT_TRUE(line.Send(FrameFor(c.payload)));
        EXPECT_EQ(line.Reply(), FrameFor(c.body)) << c.payload;
    }
    ASSERT_TRUE(line.Send(FrameFor("02?0MRL00000")));
    ASSERT_TRUE(simulator.WaitForRequests(exchanges.size() + 1, kArrival));
    EXPECT_EQ(line.Silence(), "");
    EXPECT_EQ(simulator.Snapshot(8).Relay(0), '0');
    EXPECT_EQ(simulator.Snapshot(8).writeMode, 2);
    EXPECT_EQ(simulator.Snapshot(1).writeMode, 0);
    EXPECT_EQ(simulator.Payloads().back(), "02?0MRL00000");
}

struct FaultCase {
    Fault fault;
    std::string bytes;  // what the driver's end receives
    bool carriedOut;    // whether the EWR took effect
};

TEST(JwsimSimulator, EachFaultOnTheLineThenTheNormalReply) {
    const std::vector<FaultCase> cases = {
        {{.kind = FaultKind::kNoReply}, "", true},
        {{.kind = FaultKind::kWrongChecksum}, "::01#0EWR5F\r", true},
        {{.kind = FaultKind::kOtherStation}, "::02#0EWR5D\r", true},
        {{.kind = FaultKind::kErrorStatus, .status = 0x0B}, "::01%00BD8\r", false},
        {{.kind = FaultKind::kCutShort}, "::01#0", true},
        {{.kind = FaultKind::kNoHeader}, "01#0EWR5E\r", true},
        {{.kind = FaultKind::kOverLong}, "::01#0EWR" + std::string(800, '0'), true},
        {{.kind = FaultKind::kGarbageBefore}, std::string("\0x\xFF", 3) + kEwr2Reply, true},
    };
    for (const FaultCase& c : cases) {
        const std::string kind = "fault " + std::to_string(static_cast<int>(c.fault.kind));
        Simulator simulator;
        ASSERT_TRUE(simulator.Start()) << simulator.error();
        DriverEnd line(simulator.devicePath());
        simulator.InjectFault(c.fault);
        ASSERT_TRUE(line.Send(kEwr2Frame));
        ASSERT_TRUE(simulator.WaitForRequests(1, kArrival)) << kind;
        const std::string received = line.Read(c.bytes.size(), kArrival);
        EXPECT_EQ(received + line.Silence(), c.bytes) << kind;
        EXPECT_EQ(simulator.Snapshot(1).writeMode, c.carriedOut ? 2 : 0) << kind;
        EXPECT_EQ(simulator.PendingFaultReplies(), 0) << kind;

        ASSERT_TRUE(line.Send(kEwr2Frame));
        EXPECT_EQ(line.Reply(), kEwr2Reply) << kind;
    }
}

TEST(JwsimSimulator, DelayedReplyComesLateAndWhole) {
    constexpr milliseconds kDelay {300};
    Simulator simulator;
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    simulator.InjectFault({.kind = FaultKind::kDelay, .delay = kDelay});
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    EXPECT_GE(Clock::now() - sent, kDelay - milliseconds(20));
}

TEST(JwsimSimulator, AtALineSpeedAnExchangeTakesItsWireTime) {
    // 2400 baud, 10 bits a character: 4.17 ms each. The request's 13
    // characters count as received only when the last would have arrived;
    // the reply's 13 leave one slot apart.
    Simulator simulator({.baud = 2400});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    const Clock::time_point sent = Clock::now();
    ASSERT_TRUE(line.Send(kEwr2Frame));
    ASSERT_TRUE(simulator.WaitForRequests(1, milliseconds(2000)));
    const auto received = Clock::now() - sent;
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    const auto replied = Clock::now() - sent;
    const auto wire = [](std::size_t characters) { return milliseconds(characters * 10 * 1000 / 2400); };
    EXPECT_GE(received, wire(kEwr2Frame.size()));
    EXPECT_GE(replied, wire(kEwr2Frame.size() + kEwr2Reply.size()));
}

TEST(JwsimSimulator, FaultsCountDownPerReplyInQueueOrder) {
    Simulator simulator;
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    simulator.InjectFault({.kind = FaultKind::kNoReply, .replies = 2});
    simulator.InjectFault({.kind = FaultKind::kWrongChecksum});
    simulator.InjectFault({.kind = FaultKind::kNoReply, .replies = 0});  // nothing to count
    EXPECT_EQ(simulator.PendingFaultReplies(), 3);

    // Requests that get no reply anyway do not use a fault up.
    ASSERT_TRUE(line.Send("::01?0EWR211\r" + FrameFor("02?0EWR2")));
    ASSERT_TRUE(simulator.WaitForRequests(2, kArrival));
    EXPECT_EQ(simulator.PendingFaultReplies(), 3);

    const std::vector<std::string> expected = {"", "", "::01#0EWR5F\r", kEwr2Reply, kEwr2Reply};
    for (std::size_t i = 0; i < expected.size(); ++i) {
        ASSERT_TRUE(line.Send(kEwr2Frame));
        ASSERT_TRUE(simulator.WaitForRequests(3 + i, kArrival));
        const std::string received = expected[i].empty() ? line.Silence() : line.Reply();
        EXPECT_EQ(received, expected[i]) << "reply " << i;
    }
    simulator.InjectFault({.kind = FaultKind::kNoReply, .replies = 5});
    simulator.ClearFaults();
    EXPECT_EQ(simulator.PendingFaultReplies(), 0);
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
}

TEST(JwsimSimulator, RepliesRecordTheirFaultTheirAcknowledgementAndWhenTheyLeft) {
    constexpr milliseconds kDelay {100};
    Simulator simulator;
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    simulator.InjectFault({.kind = FaultKind::kWrongChecksum});
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), "::01#0EWR5F\r");
    const Clock::time_point sent = Clock::now();
    simulator.InjectFault({.kind = FaultKind::kDelay, .delay = kDelay});
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    ASSERT_TRUE(line.Send(FrameFor("02?0EWR2")));  // no such station: taken up, not answered
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    // The record of a reply is made just after its last byte left: the
    // reply may be read before that.
    const auto lastDone = [&simulator] {
        const Clock::time_point until = Clock::now() + kArrival;
        std::vector<ReplyRecord> replies = simulator.Replies();
        while (!replies.empty() && !replies.back().done && Clock::now() < until) {
            std::this_thread::sleep_for(milliseconds(1));
            replies = simulator.Replies();
        }
        return replies;
    };

    const std::vector<ReplyRecord> replies = lastDone();
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_TRUE(replies[0].answered && replies[0].fault && !replies[0].acknowledged && replies[0].done);
    EXPECT_EQ(replies[0].fault->kind, FaultKind::kWrongChecksum);
    EXPECT_FALSE(replies[0].previousDone);
    // A late reply is acknowledged and records when it left, the delay after.
    EXPECT_TRUE(replies[1].answered && replies[1].fault && replies[1].acknowledged && replies[1].done);
    EXPECT_EQ(replies[1].fault->kind, FaultKind::kDelay);
    EXPECT_GE(*replies[1].done - sent, kDelay - milliseconds(20));
    EXPECT_EQ(replies[1].previousDone, replies[0].done);
    EXPECT_FALSE(replies[2].answered || replies[2].done);
    EXPECT_TRUE(replies[3].answered && !replies[3].fault && replies[3].acknowledged && replies[3].done);
    EXPECT_EQ(replies[3].previousDone, replies[1].done);  // the last reply that left, not the unanswered request

    EXPECT_EQ(simulator.ClearRequests(), 4u);
    EXPECT_TRUE(simulator.Replies().empty());
    ASSERT_TRUE(line.Send(kEwr2Frame));
    EXPECT_EQ(line.Reply(), kEwr2Reply);
    ASSERT_EQ(lastDone().size(), 1u);
    EXPECT_EQ(simulator.Replies()[0].previousDone, replies[3].done);
}

TEST(JwsimSimulator, StopDropsAReplyWaitingForItsDelay) {
    auto simulator = std::make_unique<Simulator>();
    ASSERT_TRUE(simulator->Start()) << simulator->error();
    DriverEnd line(simulator->devicePath());
    simulator->InjectFault({.kind = FaultKind::kDelay, .delay = milliseconds(60000)});
    ASSERT_TRUE(line.Send(kEwr2Frame));
    ASSERT_TRUE(simulator->WaitForRequests(1, kArrival));
    const Clock::time_point stopping = Clock::now();
    simulator.reset();  // the destructor stops
    EXPECT_LT(Clock::now() - stopping, milliseconds(30000));
}

TEST(JwsimSimulator, StartsOnceStopsTwiceAndStartsAgainOnANewLine) {
    Simulator simulator({.stations = {0}});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    EXPECT_FALSE(simulator.Start());
    EXPECT_EQ(simulator.error(), "already serving");
    simulator.Stop();
    simulator.Stop();
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd line(simulator.devicePath());
    ASSERT_TRUE(line.Send(FrameFor("00?0MRL00000")));
    EXPECT_EQ(line.Reply(), FrameFor("00#0MRL000000"));

    Simulator outside({.stations = {64}});
    EXPECT_FALSE(outside.Start());
    EXPECT_EQ(outside.error(), "station 64 is outside 0 to 63");
    Simulator missing({.device = "/nonexistent/jwsim-line"});
    EXPECT_FALSE(missing.Start());
    EXPECT_NE(missing.error().find("/nonexistent/jwsim-line"), std::string::npos);
}

TEST(JwsimSimulator, ServesAGivenDevice) {
    test::PtyPair pair;
    ASSERT_TRUE(pair.ok()) << pair.error();
    Simulator simulator({.device = pair.path()});
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    EXPECT_EQ(simulator.devicePath(), pair.path());
    ASSERT_TRUE(pair.WriteFromFarSide(kEwr2Frame.data(), kEwr2Frame.size()));
    const std::vector<unsigned char> reply = pair.ReadOnFarSide(kEwr2Reply.size(), kArrival);
    EXPECT_EQ(std::string(reply.begin(), reply.end()), kEwr2Reply);
}

// ---- the memory file ------------------------------------------------------------------

TEST(JwsimMemory, LoadedChangedThroughTheDriverSavedAndLoadedAgain) {
    char directory[] = "/tmp/kel-memory-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/memory.txt";
    {
        std::ofstream file(path);
        file << "# bench setup\n01MA0100 = 0x1234\n01mb0010b = 010  # one byte, decimal\n10M39774 = 0xDEADBEEF\n"
                "01R00001 = 1\n01RT0017 = 1\n01T0005 = 120\n01T0006 = 1999 counter\n";
    }
    Simulator first({.stations = {1, 8}});
    std::string error;
    ASSERT_TRUE(LoadMemory(path, first, &error)) << error;
    const Controller one = first.Snapshot(1);
    EXPECT_EQ(one.Register('A', 0100) | one.Register('A', 0101) << 8, 0x1234);
    EXPECT_EQ(one.Register('B', 010), 10);
    EXPECT_EQ(first.Snapshot(8).Register('3', 0777), 0xDE);
    EXPECT_EQ(one.Relay(1), '1');
    EXPECT_EQ(one.RtRelay(017), '1');
    EXPECT_EQ(std::string(one.Timer(6).value.begin(), one.Timer(6).value.end()) + one.Timer(6).type, "99192");

    // The driver writes a register; the saved file holds it, and loads again.
    ASSERT_TRUE(first.Start()) << first.error();
    DriverState state {};
    OpenRequest open {};
    std::snprintf(open.portName, sizeof open.portName, "%s", first.portName().c_str());
    open.enable = 1;
    open.LinkTimeout = 100;
    open.line = {9600, 8, 0, 0};
    KelRequest request {&state, KEL_CMD_OPEN, 0, 0, &open};
    ASSERT_EQ(KelMain(&request), KEL_OK);
    std::uint32_t cell = 0xBEEFu << 16;
    GateRequest write {"01MA0200", 0, {1, AreaMA, 0200, 255, 16}, KEL_VALUE_ANALOG16, 1, 0, &cell};
    request = {&state, KEL_CMD_WRITE_GATE, 0, 0, &write};
    EXPECT_EQ(KelMain(&request), KEL_OK);
    request = {&state, KEL_CMD_CLOSE, 0, 0, nullptr};
    EXPECT_EQ(KelMain(&request), KEL_OK);
    first.Stop();
    ASSERT_TRUE(SaveMemory(path, first, &error)) << error;

    // Loaded into another simulator, it saves the same file again.
    Simulator second({.stations = {1, 8}});
    ASSERT_TRUE(LoadMemory(path, second, &error)) << error;
    EXPECT_EQ(second.Snapshot(1).Register('A', 0200), 0xEF);
    const std::string again = path + ".again";
    ASSERT_TRUE(SaveMemory(again, second, &error)) << error;
    const auto text = [](const std::string& name) { return std::string(std::istreambuf_iterator<char>(
                                                                std::ifstream(name).rdbuf()), {}); };
    EXPECT_EQ(text(again), text(path));
    std::remove(again.c_str());
    std::remove(path.c_str());
    rmdir(directory);
}

TEST(JwsimMemory, ALineItCannotTakeNamesFileAndLineAndChangesNothing) {
    char directory[] = "/tmp/kel-memory-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/bad.txt";
    for (const char* bad : {"01MA0100 0x1234", "01MA0100 = x", "01R00001 = 2", "01MB0777 = 0x1234",
                                   "02MA0100 = 1", "01T0005 = 2000", "01Q0005 = 1", "01MA0100B = 256"}) {
        SCOPED_TRACE(bad);
        std::ofstream(path) << "01MA0000 = 5\n" << bad << "\n";
        Simulator simulator;
        std::string error;
        EXPECT_FALSE(LoadMemory(path, simulator, &error));
        EXPECT_EQ(error.rfind(path + ":2: ", 0), 0u) << error;
        EXPECT_EQ(simulator.Snapshot(1).Register('A', 0), 0);
    }
    std::remove(path.c_str());
    rmdir(directory);
}

// ---- the program's command line ---------------------------------------------------

TEST(JwsimCommandLine, FaultsFromTheCommandLineDamageTheRepliesInOrder) {
    const CommandLine line = ParseCommandLine({"--fault", "wrong-checksum:2", "--fault", "no-header"});
    ASSERT_EQ(line.error, "");
    Simulator simulator;
    for (const Fault& fault : line.faults) simulator.InjectFault(fault);
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd driver(simulator.devicePath());
    const std::string wrong = "::01#0EWR5F\r";
    for (const std::string& expected : {wrong, wrong, kEwr2Reply.substr(2), kEwr2Reply}) {
        ASSERT_TRUE(driver.Send(kEwr2Frame));
        EXPECT_EQ(driver.Reply(), expected);
    }
    for (const char* bad : {"late:0", "late:x", "sideways", "garbage:1000000"}) {
        EXPECT_NE(ParseCommandLine({"--fault", bad}).error, "") << bad;
    }
    // At a rate of 1 every reply is damaged: a late one may still come whole,
    // but not all five.
    Simulator always(ParseCommandLine({"--fault-rate", "1", "--seed", "7"}).options);
    ASSERT_TRUE(always.Start()) << always.error();
    DriverEnd other(always.devicePath());
    int plain = 0;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(other.Send(kEwr2Frame));
        plain += other.Silence(milliseconds(300)) == kEwr2Reply ? 1 : 0;
    }
    EXPECT_LT(plain, 5);
}


TEST(JwsimCommandLine, OptionsAndUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        std::set<int> stations;
        bool protect;
        std::string device;
        bool trace;
        bool error;
    };
    const std::vector<Case> cases = {
        {{}, {1}, false, "", false, false},
        {{"--station", "01", "--station", "77", "--station", "1"}, {1, 63}, false, "", false, false},
        {{"--station", "10"}, {8}, false, "", false, false},
        {{"--protect", "--trace", "--device", "/dev/ttyS0"}, {1}, true, "/dev/ttyS0", true, false},
        {{"--station", "8"}, {1}, false, "", false, true},
        {{"--station", "100"}, {1}, false, "", false, true},
        {{"--station", ""}, {1}, false, "", false, true},
        {{"--station"}, {1}, false, "", false, true},
        {{"--device"}, {1}, false, "", false, true},
        {{"--bogus"}, {1}, false, "", false, true},
        {{"--baud", "49"}, {1}, false, "", false, true},
        {{"--baud", "9600x"}, {1}, false, "", false, true},
        {{"--baud"}, {1}, false, "", false, true},
    };
    for (const Case& c : cases) {
        const CommandLine line = ParseCommandLine(c.args);
        const std::string shown = c.args.empty() ? "(none)" : c.args.front() + " ...";
        EXPECT_EQ(!line.error.empty(), c.error) << shown << ": " << line.error;
        if (c.error) continue;
        EXPECT_EQ(line.options.stations, c.stations) << shown;
        EXPECT_EQ(line.options.protect, c.protect) << shown;
        EXPECT_EQ(line.options.device, c.device) << shown;
        EXPECT_EQ(line.trace, c.trace) << shown;
    }
    EXPECT_TRUE(ParseCommandLine({"--help"}).help);
    EXPECT_EQ(ParseCommandLine({"--baud", "19200"}).options.baud, 19200u);
}

// ---- values changed on a schedule -------------------------------------------------

TEST(JwsimStep, CountersStepOnTheLineAndTheRecordNamesEachStep) {
    for (const char* bad : {"01MA0100", "01MA0100:0", "01MA0100:x", "01Q0001:5", "01MA1600:5", "02MA0100:5x"}) {
        EXPECT_NE(ParseCommandLine({"--step", bad}).error, "") << bad;
    }
    const CommandLine line = ParseCommandLine({"--step", "01ma0100:20", "--step", "01R00001:20"});
    ASSERT_EQ(line.error, "");
    char directory[] = "/tmp/kel-step-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string path = std::string(directory) + "/steps.txt";
    std::FILE* record = std::fopen(path.c_str(), "w");
    ASSERT_NE(record, nullptr);
    Simulator simulator;
    ASSERT_TRUE(simulator.Start()) << simulator.error();
    DriverEnd driver(simulator.devicePath());
    const auto counterOnTheLine = [&driver] {
        driver.Send(FrameFor("01?0MRGA0100A0101"));
        const std::string reply = driver.Reply();  // "::01#0MRGA0100A0101" then the bytes, low first
        return reply.size() < 23 ? -1 : std::stoi(reply.substr(19, 2), nullptr, 16) + 256 * std::stoi(reply.substr(21, 2), nullptr, 16);
    };
    EXPECT_EQ(counterOnTheLine(), 0);

    const auto before = std::chrono::system_clock::now();
    Stepper stepper(simulator, line.steps, record);
    for (int pass = 0; pass < 3; ++pass) {
        std::this_thread::sleep_until(stepper.NextDue());
        stepper.StepDue(Clock::now());
    }
    const auto after = std::chrono::system_clock::now();
    std::fclose(record);
    EXPECT_EQ(counterOnTheLine(), 3);
    EXPECT_EQ(simulator.Snapshot(1).Relay(1), '1');  // 1, 0, 1

    std::ifstream steps(path);
    std::vector<std::string> seen;
    long long micros = 0;
    std::string gate, value;
    while (steps >> micros >> gate >> value) {
        seen.push_back(gate + " " + value);
        EXPECT_GE(micros, std::chrono::duration_cast<std::chrono::microseconds>(before.time_since_epoch()).count());
        EXPECT_LE(micros, std::chrono::duration_cast<std::chrono::microseconds>(after.time_since_epoch()).count());
    }
    EXPECT_EQ(seen, (std::vector<std::string> {"01MA0100 1", "01R00001 1", "01MA0100 2", "01R00001 0", "01MA0100 3",
                                               "01R00001 1"}));
    std::remove(path.c_str());
    rmdir(directory);
}

}  // namespace
}  // namespace kel::jwsim
