// Reads and writes as a host makes them: through KelMain, on a real
// pseudo-terminal, against the controller simulator. Gates are checked with
// commands 3 and 4 and their GateAddress is used as the check filled it; the
// simulator records every request so the exact payloads, their checksums and
// the number of attempts can be asserted, and its memory shows what a write
// did.
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "kelwnsrp.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "support/quick_reply_directory.h"
#include "teskar.h"
#include "tools/jwsim/controller.h"
#include "tools/jwsim/protocol.h"
#include "tools/jwsim/simulator.h"

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::ReceivedRequest;
using kel::jwsim::Simulator;
using kel::jwsim::SimulatorOptions;
using std::chrono::milliseconds;

// Read timeouts, in units of 10 ms. Exchanges that must succeed get a
// generous one so a busy machine never turns a reply into a retry; faults
// that end only by timing out get a short one so they stay fast.
constexpr std::uint32_t kPatient = 100;
constexpr std::uint32_t kQuick = 5;
constexpr milliseconds kArrival {3000};

// What a read must leave alone: bytes 0 and 1 for types 0, 1 and 6, the
// whole cell when nothing is delivered.
constexpr std::uint32_t kFill = 0xA5A5A5A5u;

using Message = std::pair<int, std::string>;
const Message kCantRead {8, "KELSRP: Can't read Write response"};
const Message kIncorrectReply {8, "KELSRP: Incorrect reply string to Write."};

// Computed here rather than taken from the simulator, whose checksum is the
// driver's own function.
std::string Checksum(const std::string& payload) {
    unsigned sum = 0;
    for (const unsigned char c : payload) sum += c;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", (256 - sum % 256) % 256);
    return digits;
}

// A request as the simulator recorded it, readable in failure output.
std::string Shown(const ReceivedRequest& request) {
    return kel::jwsim::Escaped(request.payload) + " " + kel::jwsim::Escaped(request.checksum) +
           (request.checksumOk ? "" : " (checksum refused)");
}

// The requests these payloads make when framed correctly.
std::vector<std::string> Framed(const std::vector<std::string>& payloads) {
    std::vector<std::string> shown;
    for (const std::string& payload : payloads) shown.push_back(payload + " " + Checksum(payload));
    return shown;
}

std::vector<std::string> Repeated(const std::string& payload, int times) {
    return Framed(std::vector<std::string>(static_cast<std::size_t>(times), payload));
}

std::vector<Message> Logged() {
    std::vector<Message> messages;
    for (int i = 0; i < teskar_count(); ++i) messages.emplace_back(teskar_level(i), teskar_text(i));
    return messages;
}

std::vector<Message> EachAttempt(const std::vector<Message>& perAttempt) {
    std::vector<Message> all;
    for (int i = 0; i < 5; ++i) all.insert(all.end(), perAttempt.begin(), perAttempt.end());
    return all;
}

std::uint32_t FloatBits(float value) {
    std::uint32_t bits = 0;
    std::memcpy(&bits, &value, sizeof bits);
    return bits;
}

// A place in a controller's memory, to preset before a read and to inspect
// after a write.
enum class Where { kRelay, kRtRelay, kTimer, kRegister };

struct Item {
    Where where;
    int number;
    char area = 0;   // register area character
    int bytes = 0;   // register bytes, lowest address first
    char type = '4'; // timer type character
};

Item Relay(int number) { return {Where::kRelay, number}; }
Item RtRelay(int number) { return {Where::kRtRelay, number}; }
Item Timer(int number, char type = '4') { return {Where::kTimer, number, 0, 0, type}; }
Item Register(char area, int first, int bytes) { return {Where::kRegister, first, area, bytes}; }

void Put(Controller& c, const Item& item, std::uint32_t value) {
    switch (item.where) {
        case Where::kRelay: c.SetRelay(item.number, static_cast<char>('0' + value)); break;
        case Where::kRtRelay: c.SetRtRelay(item.number, static_cast<char>('0' + value)); break;
        case Where::kTimer: c.SetTimer(item.number, static_cast<int>(value), item.type); break;
        case Where::kRegister:
            for (int i = 0; i < item.bytes; ++i) {
                c.SetRegister(item.area, item.number + i, static_cast<std::uint8_t>(value >> (8 * i)));
            }
            break;
    }
}

// Relays: the state character as a number; timers: the character of the
// last SRT (a write does not change the current value); registers: the
// bytes, lowest address least significant.
std::uint32_t Stored(const Controller& c, const Item& item) {
    switch (item.where) {
        case Where::kRelay: return static_cast<std::uint32_t>(c.Relay(item.number) - '0');
        case Where::kRtRelay: return static_cast<std::uint32_t>(c.RtRelay(item.number) - '0');
        case Where::kTimer: return static_cast<std::uint32_t>(c.Timer(item.number).set - '0');
        case Where::kRegister: break;
    }
    std::uint32_t value = 0;
    for (int i = item.bytes - 1; i >= 0; --i) value = (value << 8) | c.Register(item.area, item.number + i);
    return value;
}

struct Gate {
    std::string gas;
    GateAddress address {};
};

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        kel::UseSerialPlatform(nullptr);
        ASSERT_TRUE(directory_.Enter("kel-e2e")) << directory_.error();
    }

    void TearDown() override { Disconnect(); }

    // A fresh simulator and the driver's port open on it; the log is cleared.
    void Connect(SimulatorOptions options, std::uint32_t linkTimeout, std::uint16_t baud = 9600) {
        Disconnect();
        simulator_ = std::make_unique<Simulator>(std::move(options));
        ASSERT_TRUE(simulator_->Start()) << simulator_->error();
        const std::string name = simulator_->portName();
        OpenRequest open {};
        ASSERT_LT(name.size(), sizeof open.portName) << name;
        std::memcpy(open.portName, name.data(), name.size());
        open.enable = 1;
        open.LinkTimeout = linkTimeout;
        open.line = {baud, 8, 0, 0};
        teskar_clear();
        ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK) << name;
        // Without the file every read would wait 50 ms before its reply.
        const Message found {32, "KELSRP: Configuration file KelwnSRP.int was found, using the defined values"};
        const std::vector<Message> opened = Logged();
        ASSERT_NE(std::find(opened.begin(), opened.end(), found), opened.end());
        teskar_clear();
    }

    void Disconnect() {
        if (state_.portHandle != nullptr) {
            EXPECT_EQ(Call(KEL_CMD_CLOSE, nullptr), KEL_OK);
        }
        state_ = {};
        simulator_.reset();
    }

    std::int32_t Call(std::int32_t command, void* block) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }

    Gate Check(const char* gas, std::uint32_t gateType) {
        GateCheckRequest check {gas, 0, gateType, 1, 0, {}};
        EXPECT_EQ(Call(KEL_CMD_CHECK_GATE, &check), KEL_OK) << gas << " type " << gateType;
        return {gas, check.address};
    }

    Gate CheckBlock(const char* gas, std::uint32_t gateType, std::uint16_t count) {
        GateCheckRequest check {gas, 0, gateType, count, 0, {}};
        EXPECT_EQ(Call(KEL_CMD_CHECK_BLOCK, &check), KEL_OK) << gas << " type " << gateType;
        return {gas, check.address};
    }

    std::int32_t Read(const Gate& gate, std::uint32_t valueType, std::uint32_t* cell,
                      std::int32_t command = KEL_CMD_READ_GATE) {
        GateRequest read {gate.gas.c_str(), 0, gate.address, valueType, 1, 0, cell};
        return Call(command, &read);
    }

    std::int32_t Write(const Gate& gate, std::uint32_t valueType, std::uint32_t* cell) {
        GateRequest write {gate.gas.c_str(), 0, gate.address, valueType, 1, 0, cell};
        return Call(KEL_CMD_WRITE_GATE, &write);
    }

    void Edit(int station, const Item& item, std::uint32_t value) {
        ASSERT_TRUE(simulator_->Edit(station, [&](Controller& c) { Put(c, item, value); }));
    }

    // The requests recorded since the last call; clears them.
    std::vector<std::string> Sent() {
        std::vector<std::string> shown;
        for (const ReceivedRequest& request : simulator_->Requests()) shown.push_back(Shown(request));
        simulator_->ClearRequests();
        return shown;
    }

    // The last request recorded; clears them. Retries before it are allowed.
    std::string LastSent() {
        const std::vector<std::string> sent = Sent();
        return sent.empty() ? "(nothing sent)" : sent.back();
    }

    // For calls that end without waiting for the simulator (no reply at
    // all): the requests once `count` of them have arrived.
    std::vector<std::string> SentOnceThereAre(std::size_t count) {
        EXPECT_TRUE(simulator_->WaitForRequests(count, kArrival));
        return Sent();
    }

    // A known read after a call that must not have used the line: the line
    // keeps order, so anything the call sent would show before it.
    void ExpectNothingWasSent(const std::string& what) {
        const Gate fence = Check("01R00000", KEL_VALUE_DIGITAL);
        std::uint32_t cell = 0;
        EXPECT_EQ(Read(fence, KEL_VALUE_DIGITAL, &cell), KEL_OK) << what;
        EXPECT_EQ(Sent(), Framed({"01?0MRL00000"})) << what;
    }

    // Waits until the driver's port holds at least `count` received bytes.
    bool WaitForDriverInput(std::uint32_t count) {
        const auto deadline = std::chrono::steady_clock::now() + kArrival;
        for (;;) {
            std::uint32_t waiting = 0;
            if (!kel::ActiveSerialPlatform().ClearError(state_.portHandle, &waiting)) return false;
            if (waiting >= count) return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(milliseconds(1));
        }
    }

    DriverState state_ {};
    std::unique_ptr<Simulator> simulator_;

private:
    kel::test_support::QuickReplyDirectory directory_;
};

using EndToEndRoundTrip = EndToEnd;
using EndToEndRead = EndToEnd;
using EndToEndWrite = EndToEnd;
using EndToEndWriteMode = EndToEnd;
using EndToEndFault = EndToEnd;
using EndToEndStations = EndToEnd;
using EndToEndRefusal = EndToEnd;

TEST(EndToEndChecksum, TheTestsOwnChecksumMatchesTheWorkedExample) {
    EXPECT_EQ(Checksum("01?0EWR2"), "10");
    EXPECT_EQ(Checksum("abc"), "DA");
}

// ---- every area and value type ------------------------------------------------------

struct RoundTrip {
    const char* gas;
    std::uint32_t type;  // gate type of the check and value type of the requests
    Item item;
    std::uint32_t preset;
    std::string readPayload;
    std::uint32_t cellAfterRead;  // from kFill
    std::uint32_t writeCell;
    std::string writePayload;
    std::uint32_t stored;  // what the controller holds afterwards
    std::uint32_t cellAfterReadBack;
};

TEST_F(EndToEndRoundTrip, EveryAreaAndValueTypeIsReadWrittenAndReadBack) {
    ASSERT_NO_FATAL_FAILURE(Connect({.stations = {1, 3, 10}}, kPatient));
    const RoundTrip cases[] = {
        {"01R01234", 6, Relay(01234), 1, "01?0MRL01234", 0x0001A5A5, 0x0000A5A5, "01?0SRR012340", 0, 0x0000A5A5},
        {"12R10000", 6, Relay(4096), 1, "12?0MRL10000", 0x0001A5A5, 0x0000A5A5, "12?0SRR100000", 0, 0x0000A5A5},
        {"03R10000", 6, Relay(4096), 0, "03?0MRL10000", 0x0000A5A5, 0x0001A5A5, "03?0SRR100001", 1, 0x0001A5A5},
        {"01R00777", 6, Relay(0777), 0, "01?0MRL00777", 0x0000A5A5, 0x0001A5A5, "01?0SRR007771", 1, 0x0001A5A5},
        {"01R07777", 6, Relay(4095), 1, "01?0MRL07777", 0x0001A5A5, 0x0000A5A5, "01?0SRR077770", 0, 0x0000A5A5},
        {"01R15777", 6, Relay(7167), 1, "01?0MRL15777", 0x0001A5A5, 0x0000A5A5, "01?0SRR157770", 0, 0x0000A5A5},
        {"01RT0017", 6, RtRelay(017), 1, "01?0MRLT0017", 0x0001A5A5, 0x0000A5A5, "01?0SRRT00170", 0, 0x0000A5A5},
        {"01RT0377", 6, RtRelay(0377), 1, "01?0MRLT0377", 0x0001A5A5, 0x0000A5A5, "01?0SRRT03770", 0, 0x0000A5A5},
        // SRT sets the timer; its current value stays.
        {"01T0005", 0, Timer(5), 1234, "01?0MTC00050005", 0x04D2A5A5, 0x0001A5A5, "01?0SRT00051", 1, 0x04D2A5A5},
        {"01T0012", 1, Timer(012, '2'), 1999, "01?0MTC00120012", 0x07CFA5A5, 0x0001A5A5, "01?0SRT00121", 1,
         0x07CFA5A5},
        {"01MA0100", 0, Register('A', 0100, 2), 0xABCD, "01?0MRGA0100A0101", 0xABCDA5A5, 0x1234A5A5,
         "01?0WRGA0100A01013412", 0x1234, 0x1234A5A5},
        {"01MA1574", 5, Register('A', 01574, 4), 0x89ABCDEF, "01?0MRGA1574A1577", 0x89ABCDEF, 0x01020304,
         "01?0WRGA1574A157704030201", 0x01020304, 0x01020304},
        {"01MB0010B", 0, Register('B', 010, 1), 0xAB, "01?0MRGB0010B0010", 0x00ABA5A5, 0x005AA5A5,
         "01?0WRGB0010B00105A", 0x5A, 0x005AA5A5},
        {"01MB0776", 1, Register('B', 0776, 2), 0xFFFF, "01?0MRGB0776B0777", 0xFFFFA5A5, 0x8001A5A5,
         "01?0WRGB0776B07770180", 0x8001, 0x8001A5A5},
        {"01M09020", 4, Register('0', 020, 4), 0x12345678, "01?0MRG0902009023", 0x12345678, 0xCAFEF00D,
         "01?0WRG09020090230DF0FECA", 0xCAFEF00D, 0xCAFEF00D},
        {"01M09100", 4, Register('0', 0100, 4), 0, "01?0MRG0910009103", 0, 0x0A0B0C0D,
         "01?0WRG09100091030D0C0B0A", 0x0A0B0C0D, 0x0A0B0C0D},
        {"01M19777B", 5, Register('1', 0777, 1), 0xFF, "01?0MRG1977719777", 0xFF, 0x00000001,
         "01?0WRG197771977701", 1, 1},
        {"01M29000", 1, Register('2', 0, 2), 0x0102, "01?0MRG2900029001", 0x0102A5A5, 0xFFFFA5A5,
         "01?0WRG2900029001FFFF", 0xFFFF, 0xFFFFA5A5},
        {"01M39774", 5, Register('3', 0774, 4), 0xDEADBEEF, "01?0MRG3977439777", 0xDEADBEEF, 0x7FFFFFFF,
         "01?0WRG3977439777FFFFFF7F", 0x7FFFFFFF, 0x7FFFFFFF},
    };
    for (const RoundTrip& c : cases) {
        SCOPED_TRACE(c.gas);
        const Gate gate = Check(c.gas, c.type);
        const int station = gate.address.station;
        Edit(station, c.item, c.preset);

        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(gate, c.type, &cell, KEL_CMD_READ_GATE), KEL_OK);
        EXPECT_EQ(cell, c.cellAfterRead);
        EXPECT_EQ(Sent(), Framed({c.readPayload}));

        // An unprotected controller: exactly one request, no write mode.
        cell = c.writeCell;
        EXPECT_EQ(Write(gate, c.type, &cell), KEL_OK);
        EXPECT_EQ(cell, c.writeCell);
        EXPECT_EQ(Sent(), Framed({c.writePayload}));
        EXPECT_EQ(Stored(simulator_->Snapshot(station), c.item), c.stored);

        cell = kFill;
        EXPECT_EQ(Read(gate, c.type, &cell, KEL_CMD_READ_GATE_ALT), KEL_OK);
        EXPECT_EQ(cell, c.cellAfterReadBack);
        EXPECT_EQ(Sent(), Framed({c.readPayload}));
    }
    EXPECT_EQ(Logged(), std::vector<Message> {});
    EXPECT_EQ(state_.WriteEnablePending, 0);
}

// ---- value types outside the usual pairs ----------------------------------------------

TEST_F(EndToEndRead, FloatDigitalRegisterAndValuelessTypes) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    struct Row {
        const char* what;
        bool blockCheck;
        const char* gas;
        std::uint32_t checkType;
        std::uint32_t valueType;
        Item item;
        std::uint32_t preset;
        std::string payload;
        std::uint32_t cellAfter;
    };
    const Row rows[] = {
        {"float timer", true, "01T0005", 3, 3, Timer(5), 1234, "01?0MTC00050005", FloatBits(1234.0f)},
        {"float 8-bit register", true, "01MB0010B", 3, 3, Register('B', 010, 1), 0xAB, "01?0MRGB0010B0010",
         FloatBits(171.0f)},
        {"float of a 16-bit gate", false, "01MA0100", 0, 3, Register('A', 0100, 2), 0x1234, "01?0MRGA0100A0101",
         FloatBits(4660.0f)},
        {"float of a negative 32-bit value", false, "01M09020", 4, 3, Register('0', 020, 4), 0xFFFFFFFF,
         "01?0MRG0902009023", FloatBits(-1.0f)},
        {"digital 8-bit register FF widens its sign", true, "01MB0010B", 6, 6, Register('B', 010, 1), 0xFF,
         "01?0MRGB0010B0010", 0xFFFFA5A5},
        {"digital 8-bit register 7F", true, "01MB0010B", 6, 6, Register('B', 010, 1), 0x7F, "01?0MRGB0010B0010",
         0x007FA5A5},
        {"value type 2 delivers nothing", false, "01MA0100", 0, 2, Register('A', 0100, 2), 0x1234,
         "01?0MRGA0100A0101", kFill},
        {"value type 7 delivers nothing", false, "01MA0100", 0, 7, Register('A', 0100, 2), 0x1234,
         "01?0MRGA0100A0101", kFill},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        const Gate g = r.blockCheck ? CheckBlock(r.gas, r.checkType, 1) : Check(r.gas, r.checkType);
        Edit(1, r.item, r.preset);
        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(g, r.valueType, &cell), KEL_OK);
        EXPECT_EQ(cell, r.cellAfter);
        EXPECT_EQ(Sent(), Framed({r.payload}));
    }
}

TEST_F(EndToEndRead, TimerTypeCharactersFourAndTwoDeliverOthersDoNot) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    struct Row {
        const char* gas;
        int number;
        char type;
        std::uint32_t cellAfter;  // from kFill
    };
    const Row rows[] = {
        {"01T0005", 5, '4', 0x04D2A5A5},   {"01T0005", 5, '2', 0x04D2A5A5}, {"01T0005", 5, '1', kFill},
        {"01T0005", 5, '0', kFill},        {"01T0005", 5, '3', kFill},      {"01T0005", 5, 'X', kFill},
        {"01T0300", 0300, '4', 0x04D2A5A5}, {"01T0377", 0377, '2', 0x04D2A5A5}, {"01T0377", 0377, '5', kFill},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(std::string(r.gas) + " type " + r.type);
        const Gate gate = Check(r.gas, KEL_VALUE_ANALOG16);
        Edit(1, Timer(r.number, r.type), 1234);
        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        EXPECT_EQ(cell, r.cellAfter);
        const std::string number = std::string(r.gas).substr(3);
        EXPECT_EQ(Sent(), Framed({"01?0MTC" + number + number}));
    }
}

// ---- write mode ---------------------------------------------------------------------

TEST_F(EndToEndWriteMode, ProtectedControllerIsWrittenInWriteModeAndProtectedAgain) {
    ASSERT_NO_FATAL_FAILURE(Connect({.stations = {1}, .protect = true}, kPatient));
    const Gate relay = Check("01R00777", KEL_VALUE_DIGITAL);
    std::uint32_t cell = 0x0001A5A5;
    EXPECT_EQ(Write(relay, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(Sent(), Framed({"01?0SRR007771", "01?0EWR2", "01?0SRR007771", "01?0EWR0"}));
    EXPECT_EQ(Logged(), std::vector<Message> {kIncorrectReply});
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(simulator_->Snapshot(1).Relay(0777), '1');
    EXPECT_EQ(simulator_->Snapshot(1).writeMode, 0);

    // EWR 0 protected it again: the next write needs the same sequence.
    teskar_clear();
    const Gate word = Check("01MA0100", KEL_VALUE_ANALOG16);
    cell = 0x1234A5A5;
    EXPECT_EQ(Write(word, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(Sent(), Framed({"01?0WRGA0100A01013412", "01?0EWR2", "01?0WRGA0100A01013412", "01?0EWR0"}));
    EXPECT_EQ(Logged(), std::vector<Message> {kIncorrectReply});
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0x1234u);

    // Reads never switch write mode.
    teskar_clear();
    cell = kFill;
    EXPECT_EQ(Read(relay, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(cell, 0x0001A5A5u);
    EXPECT_EQ(Sent(), Framed({"01?0MRL00777"}));
    EXPECT_EQ(Logged(), std::vector<Message> {});
}

TEST_F(EndToEndWriteMode, StatusTenOnEveryReadLeavesTheFlagForTheNextWrite) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    const Gate relay = Check("01R00005", KEL_VALUE_DIGITAL);
    simulator_->InjectFault({.kind = FaultKind::kErrorStatus, .replies = 5, .status = 0x10});
    std::uint32_t cell = kFill;
    EXPECT_EQ(Read(relay, KEL_VALUE_DIGITAL, &cell), KEL_REFUSED);
    EXPECT_EQ(cell, kFill);
    EXPECT_EQ(Sent(), Repeated("01?0MRL00005", 5));
    EXPECT_EQ(state_.WriteEnablePending, 1);
    EXPECT_EQ(Logged(), std::vector<Message> {});

    cell = 0x0001A5A5;
    EXPECT_EQ(Write(relay, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(Sent(), Framed({"01?0EWR2", "01?0SRR000051", "01?0EWR0"}));
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(Logged(), std::vector<Message> {});
    EXPECT_EQ(simulator_->Snapshot(1).Relay(5), '1');
}

// ---- command 7 ------------------------------------------------------------------------

TEST_F(EndToEndWrite, MarkedWriteActsOnlyOnMarker255AndWritesOneItem) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);
    ASSERT_EQ(gate.address.marker, 255);
    std::uint32_t cell = 0x1234A5A5;

    GateRequest unmarked {gate.gas.c_str(), 0, gate.address, KEL_VALUE_ANALOG16, 3, 0, &cell};
    unmarked.address.marker = 0;
    EXPECT_EQ(Call(KEL_CMD_WRITE_MARKED, &unmarked), KEL_OK);
    EXPECT_EQ(unmarked.count, 3);
    ExpectNothingWasSent("marker 0");
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0u);

    GateRequest marked {gate.gas.c_str(), 0, gate.address, KEL_VALUE_ANALOG16, 3, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_WRITE_MARKED, &marked), KEL_OK);
    EXPECT_EQ(marked.count, 1);
    EXPECT_EQ(Sent(), Framed({"01?0WRGA0100A01013412"}));
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0x1234u);
    EXPECT_EQ(cell, 0x1234A5A5u);
}

// ---- faults ---------------------------------------------------------------------------

struct FaultCase {
    const char* name;
    Fault fault;
    std::uint32_t linkTimeout;
    std::int32_t readResult;
    std::int32_t writeResult;
    std::vector<Message> readLog;   // per attempt
    std::vector<Message> writeLog;  // per attempt
    bool writeCarriedOut;
};

TEST_F(EndToEndFault, FiveAttemptsOnEachFaultKindThenTheLineServesAgain) {
    const Message statusB {32, "KELSRP : Status Error: STS = b"};
    // The simulator answers in turn: holding back the first reply holds back
    // the four after it too, each past its attempt's timeout and past the
    // last attempt.
    const Fault late {.kind = FaultKind::kDelay, .replies = 1, .delay = milliseconds(500)};
    const FaultCase cases[] = {
        {"no reply", {.kind = FaultKind::kNoReply, .replies = 5}, kQuick, 2, 2, {}, {kCantRead}, true},
        {"wrong checksum", {.kind = FaultKind::kWrongChecksum, .replies = 5}, kPatient, 1, 1, {}, {kIncorrectReply},
         true},
        {"other station", {.kind = FaultKind::kOtherStation, .replies = 5}, kPatient, 1, 1, {}, {kIncorrectReply},
         true},
        {"logged status 0B", {.kind = FaultKind::kErrorStatus, .replies = 5, .status = 0x0B}, kPatient, 2, 1,
         {statusB}, {statusB, kIncorrectReply}, false},
        {"unlogged status 03", {.kind = FaultKind::kErrorStatus, .replies = 5, .status = 0x03}, kPatient, 2, 1, {},
         {kIncorrectReply}, false},
        {"cut short", {.kind = FaultKind::kCutShort, .replies = 5}, kQuick, 2, 2, {}, {kCantRead}, true},
        {"no header", {.kind = FaultKind::kNoHeader, .replies = 5}, kPatient, 2, 2, {}, {kCantRead}, true},
        {"over-long", {.kind = FaultKind::kOverLong, .replies = 5}, kPatient, 2, 2, {}, {kCantRead}, true},
        {"garbage before", {.kind = FaultKind::kGarbageBefore, .replies = 5}, kPatient, 2, 2, {}, {kCantRead}, true},
        {"late", late, kQuick, 2, 2, {}, {kCantRead}, true},
    };
    const std::string readPayload = "01?0MRGA0100A0101";
    const std::string writePayload = "01?0WRGA0100A0101EFBE";
    const Item word = Register('A', 0100, 2);
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NO_FATAL_FAILURE(Connect({}, c.linkTimeout));
        const bool isLate = c.fault.kind == FaultKind::kDelay;
        const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);

        Edit(1, word, 0x1234);
        simulator_->InjectFault(c.fault);
        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), c.readResult);
        EXPECT_EQ(cell, kFill);
        EXPECT_EQ(SentOnceThereAre(5), Repeated(readPayload, 5));
        EXPECT_EQ(Logged(), EachAttempt(c.readLog));
        EXPECT_EQ(simulator_->PendingFaultReplies(), 0);
        // Five late replies carrying 1234: the next read must purge them.
        if (isLate) {
            EXPECT_TRUE(WaitForDriverInput(5 * (5 + 21)));
        }

        Edit(1, word, 0x5678);
        teskar_clear();
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        EXPECT_EQ(cell, 0x5678A5A5u);
        EXPECT_EQ(LastSent(), Framed({readPayload}).front());

        simulator_->InjectFault(c.fault);
        cell = 0xBEEFA5A5;
        EXPECT_EQ(Write(gate, KEL_VALUE_ANALOG16, &cell), c.writeResult);
        EXPECT_EQ(cell, 0xBEEFA5A5u);
        EXPECT_EQ(SentOnceThereAre(5), Repeated(writePayload, 5));
        EXPECT_EQ(Logged(), EachAttempt(c.writeLog));
        EXPECT_EQ(state_.WriteEnablePending, 0);
        if (isLate) {
            EXPECT_TRUE(WaitForDriverInput(5 * (5 + 7)));
        }

        const std::uint32_t expected = c.writeCarriedOut ? 0xBEEF : 0x5678;
        EXPECT_EQ(Stored(simulator_->Snapshot(1), word), expected);
        cell = kFill;
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        EXPECT_EQ(cell, expected << 16 | 0xA5A5u);
    }
}

TEST_F(EndToEndFault, AFaultThatClearsBeforeTheFifthAttemptIsRecoveredFrom) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    const Gate gate = Check("01MB0010B", KEL_VALUE_ANALOG16);
    const Fault faults[] = {
        {.kind = FaultKind::kOtherStation, .replies = 1},
        {.kind = FaultKind::kWrongChecksum, .replies = 2},
        {.kind = FaultKind::kErrorStatus, .replies = 3, .status = 0x03},
        {.kind = FaultKind::kGarbageBefore, .replies = 4},
    };
    std::uint32_t value = 0x10;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.replies);
        Edit(1, Register('B', 010, 1), ++value);
        simulator_->InjectFault(fault);
        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        EXPECT_EQ(cell, value << 16 | 0xA5A5u);
        EXPECT_EQ(Sent(), Repeated("01?0MRGB0010B0010", fault.replies + 1));
        EXPECT_EQ(simulator_->PendingFaultReplies(), 0);
    }
    teskar_clear();
    simulator_->InjectFault({.kind = FaultKind::kWrongChecksum, .replies = 2});
    std::uint32_t cell = 0x0042A5A5;
    EXPECT_EQ(Write(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(Sent(), Repeated("01?0WRGB0010B001042", 3));
    EXPECT_EQ(Logged(), (std::vector<Message> {kIncorrectReply, kIncorrectReply}));
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('B', 010, 1)), 0x42u);
}

// ---- late and slow replies ------------------------------------------------------------

using EndToEndLate = EndToEnd;

// The controller answers in order: holding back one reply holds back the
// replies to every attempt behind it, so they all arrive during the next
// call, which must not take any of them for its own.
TEST_F(EndToEndLate, LateRepliesToOneAddressNeverAnswerTheReadOfAnother) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, 10));  // 100 ms
    const Gate first = Check("01MA0100", KEL_VALUE_ANALOG16);
    const Gate second = Check("01MA0200", KEL_VALUE_ANALOG16);
    Edit(1, Register('A', 0100, 2), 0x1111);
    Edit(1, Register('A', 0200, 2), 0x2222);
    simulator_->InjectFault({.kind = FaultKind::kDelay, .replies = 1, .delay = milliseconds(800)});

    std::uint32_t cell = kFill;
    EXPECT_EQ(Read(first, KEL_VALUE_ANALOG16, &cell), KEL_LINE_FAILURE);
    EXPECT_EQ(Read(second, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(cell, 0x2222A5A5u);
    EXPECT_EQ(Read(first, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(cell, 0x1111A5A5u);
}

TEST_F(EndToEndLate, ALateAcknowledgementNeverCompletesALaterWrite) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, 10));
    const Gate first = Check("01MA0100", KEL_VALUE_ANALOG16);
    const Gate second = Check("01MA0200", KEL_VALUE_ANALOG16);
    // Every attempt of the first write is answered after its last one; the
    // controller refuses everything after that, the second write included.
    simulator_->InjectFault({.kind = FaultKind::kDelay, .replies = 1, .delay = milliseconds(800)});
    simulator_->InjectFault({.kind = FaultKind::kErrorStatus, .replies = 20, .status = 0x06});

    std::uint32_t cell = 0x0101A5A5;
    EXPECT_NE(Write(first, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    cell = 0x0202A5A5;
    EXPECT_NE(Write(second, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    const std::vector<std::string> acknowledged = simulator_->Acknowledged();
    EXPECT_EQ(std::count(acknowledged.begin(), acknowledged.end(), "01?0WRGA0200A02010202"), 0);
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0200, 2)), 0u);
}

TEST_F(EndToEndLate, ADribblingReplyIsCutOffAtTheAttemptsDeadline) {
    // At 38400 baud an attempt may take 100 ms + 600 characters (172 ms) +
    // 100 ms; a reply dribbling a byte every 90 ms would take two seconds,
    // and used to hold every attempt that long.
    ASSERT_NO_FATAL_FAILURE(Connect({}, 10, 38400));

    const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);
    simulator_->InjectFault({.kind = FaultKind::kDribble, .replies = 5, .delay = milliseconds(90)});
    std::uint32_t cell = kFill;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_LINE_FAILURE);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(cell, kFill);
    EXPECT_LT(elapsed, milliseconds(5 * 500));
}

TEST_F(EndToEndLate, LinkTimeoutZeroKeepsTheDefaultSecondInsteadOfWaitingForEver) {
    ASSERT_NO_FATAL_FAILURE(Connect({.stations = {2}}, 0));
    unsigned char byte = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kel::ReadPort(state_.portHandle, &byte, 1, nullptr), kel::kSerialIoFailed);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, milliseconds(990));
    EXPECT_LT(elapsed, milliseconds(3000));
}

// ---- retries on a line paced like a real one -------------------------------------------

// The simulator sends each reply a character at a time at the line's speed,
// so a damaged reply is still arriving when its attempt has already failed.
using EndToEndPaced = EndToEnd;

void SetWaitingTime(int milliseconds) {
    std::FILE* file = std::fopen("kelwnSRP.int", "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "WAITINGTIME %d\n", milliseconds);
    std::fclose(file);
}

// A reply broken off mid-frame fails its attempt; the next request waits for
// the rest of it to pass, so the second attempt starts on a frame boundary
// and succeeds, at either speed and either reply pause.
// A link timeout of 300 ms leaves room for a busy machine (sanitizers,
// parallel tests) to deliver a good reply late without costing an attempt.
TEST_F(EndToEndPaced, OneBrokenReplyCostsOneAttempt) {
    const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);
    for (const std::uint16_t baud : {9600, 19200}) {
        for (const int waitingTime : {0, 50}) {
            ASSERT_NO_FATAL_FAILURE(SetWaitingTime(waitingTime));
            ASSERT_NO_FATAL_FAILURE(Connect({.baud = baud}, 30, baud));
            std::uint32_t value = 0x1000;
            for (const FaultKind kind :
                 {FaultKind::kNoHeader, FaultKind::kGarbageBefore, FaultKind::kOverLong, FaultKind::kCutShort}) {
                SCOPED_TRACE(std::to_string(static_cast<int>(kind)) + " at " + std::to_string(baud) +
                             " baud, WAITINGTIME " + std::to_string(waitingTime));
                Edit(1, Register('A', 0100, 2), ++value);
                simulator_->InjectFault({.kind = kind});
                std::uint32_t cell = kFill;
                EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
                EXPECT_EQ(cell, value << 16 | 0xA5A5u);
                EXPECT_EQ(Sent(), Repeated("01?0MRGA0100A0101", 2));

                simulator_->InjectFault({.kind = kind});
                cell = 0x4321A5A5;
                EXPECT_EQ(Write(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
                EXPECT_EQ(Sent(), Repeated("01?0WRGA0100A01012143", 2));
                EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0x4321u);
            }
        }
    }
}

// Five acknowledgements lost, the controller carrying out the write: the
// writes after them must not take one another's acknowledgements for ever.
// An acknowledgement echoes no address, so the next write to another
// register waits until the lost ones can no longer come, then the line
// serves as before.
TEST_F(EndToEndPaced, LostAcknowledgementsHoldUpTheNextWriteOnceAndFailNone) {
    ASSERT_NO_FATAL_FAILURE(Connect({.baud = 9600}, 10));
    const Gate first = Check("01MA0100", KEL_VALUE_ANALOG16);
    simulator_->InjectFault({.kind = FaultKind::kNoReply, .replies = 5});
    std::uint32_t cell = 0x0101A5A5;
    EXPECT_EQ(Write(first, KEL_VALUE_ANALOG16, &cell), KEL_LINE_FAILURE);
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0x0101u);
    simulator_->ClearRequests();

    const auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < 10; ++i) {
        char gas[16];
        std::snprintf(gas, sizeof gas, "01MA%04o", 0200 + 2 * i);
        cell = static_cast<std::uint32_t>(0x2000 + i) << 16;
        failed += Write(Check(gas, KEL_VALUE_ANALOG16), KEL_VALUE_ANALOG16, &cell) != KEL_OK;
        EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0200 + 2 * i, 2)), 0x2000u + i) << gas;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("ten writes after five lost acknowledgements: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(Sent().size(), 10u);
    // Two seconds and one reply budget (100 ms, 600 characters, 100 ms).
    EXPECT_LT(took, milliseconds(2000 + 888));
}

// A lost acknowledgement of write mode off leaves the next switch's
// acknowledgement ambiguous; either way the write that follows proves the
// mode, so the switch is taken and only the attempt that lost it fails.
TEST_F(EndToEndPaced, ALostWriteModeAcknowledgementCostsOneAttempt) {
    ASSERT_NO_FATAL_FAILURE(Connect({.protect = true, .baud = 9600}, 30));
    const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);
    // Refused for write mode, EWR 2 and the write acknowledged, EWR 0 lost.
    simulator_->InjectFault({.kind = FaultKind::kDelay, .replies = 3, .delay = milliseconds(0)});
    simulator_->InjectFault({.kind = FaultKind::kNoReply, .replies = 1});
    std::uint32_t cell = 0x4242A5A5;
    EXPECT_EQ(Write(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0100, 2)), 0x4242u);
    EXPECT_EQ(Sent(), Framed({"01?0WRGA0100A01014242", "01?0EWR2", "01?0WRGA0100A01014242", "01?0EWR0",
                              "01?0EWR2", "01?0WRGA0100A01014242", "01?0EWR0"}));
    EXPECT_EQ(simulator_->Snapshot(1).writeMode, 0);
}

// ---- the host's trace of the line --------------------------------------------------

using EndToEndTrace = EndToEnd;
using Traced = std::vector<std::pair<std::int32_t, std::string>>;

void Collect(void* context, std::int32_t direction, const char* bytes, std::int32_t count) {
    static_cast<Traced*>(context)->emplace_back(direction, std::string(bytes, static_cast<std::size_t>(count)));
}

TEST_F(EndToEndTrace, TheHookSeesEveryFrameAsOnTheLineAndChangesNothing) {
    ASSERT_NO_FATAL_FAILURE(Connect({.protect = true}, kPatient));
    const Gate gate = Check("01MA0100", KEL_VALUE_ANALOG16);
    Edit(1, Register('A', 0100, 2), 0x1234);
    // A read answered once with a wrong checksum, then a write the controller
    // first refuses for write protection: twice, without the hook and with it.
    Traced traced;
    std::vector<std::string> lines[2];
    std::vector<Message> messages[2];
    for (const bool hooked : {false, true}) {
        SCOPED_TRACE(hooked ? "with the hook" : "without");
        KelSetTrace(hooked ? &Collect : nullptr, &traced);
        simulator_->InjectFault({.kind = FaultKind::kWrongChecksum, .replies = 1});
        std::uint32_t cell = kFill;
        EXPECT_EQ(Read(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        EXPECT_EQ(cell, 0x1234A5A5u);
        cell = 0x5678A5A5;
        EXPECT_EQ(Write(gate, KEL_VALUE_ANALOG16, &cell), KEL_OK);
        lines[hooked] = Sent();
        messages[hooked] = Logged();
        teskar_clear();
        Edit(1, Register('A', 0100, 2), 0x1234);
        ASSERT_TRUE(simulator_->Edit(1, [](Controller& c) { c.writeMode = 0; }));
    }
    KelSetTrace(nullptr, nullptr);
    EXPECT_EQ(lines[0], lines[1]);
    EXPECT_EQ(messages[0], messages[1]);

    const auto frame = [](const std::string& body) { return "::" + body + Checksum(body) + "\r"; };
    const std::string readReply = "01#0MRGA0100A01013412";
    // The simulator's wrong checksum is one above the right one.
    const unsigned right = static_cast<unsigned>(std::stoul(Checksum(readReply), nullptr, 16));
    char wrong[3];
    std::snprintf(wrong, sizeof wrong, "%02X", (right + 1) & 0xFFu);
    const Traced expected = {
        {KEL_TRACE_SENT, frame("01?0MRGA0100A0101")},
        {KEL_TRACE_RECEIVED, "::" + readReply + wrong + "\r"},
        {KEL_TRACE_SENT, frame("01?0MRGA0100A0101")},
        {KEL_TRACE_RECEIVED, frame(readReply)},
        {KEL_TRACE_SENT, frame("01?0WRGA0100A01017856")},
        {KEL_TRACE_RECEIVED, frame("01%010")},
        {KEL_TRACE_SENT, frame("01?0EWR2")},
        {KEL_TRACE_RECEIVED, frame("01#0EWR")},
        {KEL_TRACE_SENT, frame("01?0WRGA0100A01017856")},
        {KEL_TRACE_RECEIVED, frame("01#0WRG")},
        {KEL_TRACE_SENT, frame("01?0EWR0")},
        {KEL_TRACE_RECEIVED, frame("01#0EWR")},
    };
    EXPECT_EQ(traced, expected);
}

// ---- stations -------------------------------------------------------------------------

TEST_F(EndToEndStations, EachStationOnTheLineGetsItsOwnRequests) {
    ASSERT_NO_FATAL_FAILURE(Connect({.stations = {1, 8}}, kPatient));
    const Gate one = Check("01R00000", KEL_VALUE_DIGITAL);
    const Gate eight = Check("10R00000", KEL_VALUE_DIGITAL);
    Edit(8, Relay(0), 1);

    std::uint32_t cell = kFill;
    EXPECT_EQ(Read(one, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(cell, 0x0000A5A5u);
    EXPECT_EQ(Sent(), Framed({"01?0MRL00000"}));
    EXPECT_EQ(Read(eight, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(cell, 0x0001A5A5u);
    EXPECT_EQ(Sent(), Framed({"10?0MRL00000"}));

    const Gate word = Check("10MA0000", KEL_VALUE_ANALOG16);
    cell = 0x4321A5A5;
    EXPECT_EQ(Write(word, KEL_VALUE_ANALOG16, &cell), KEL_OK);
    EXPECT_EQ(Sent(), Framed({"10?0WRGA0000A00012143"}));
    EXPECT_EQ(Stored(simulator_->Snapshot(8), Register('A', 0, 2)), 0x4321u);
    EXPECT_EQ(Stored(simulator_->Snapshot(1), Register('A', 0, 2)), 0u);
}

TEST_F(EndToEndStations, AGateOfAnUnservedStationFailsAfterFiveAttempts) {
    ASSERT_NO_FATAL_FAILURE(Connect({.stations = {1, 8}}, kQuick));
    const Gate unserved = Check("02R00000", KEL_VALUE_DIGITAL);
    std::uint32_t cell = kFill;
    EXPECT_EQ(Read(unserved, KEL_VALUE_DIGITAL, &cell), KEL_LINE_FAILURE);
    EXPECT_EQ(cell, kFill);
    EXPECT_EQ(SentOnceThereAre(5), Repeated("02?0MRL00000", 5));

    cell = 0x0001A5A5;
    EXPECT_EQ(Write(unserved, KEL_VALUE_DIGITAL, &cell), KEL_LINE_FAILURE);
    EXPECT_EQ(SentOnceThereAre(5), Repeated("02?0SRR000001", 5));
    EXPECT_EQ(Logged(), EachAttempt({kCantRead}));

    const Gate served = Check("10R00000", KEL_VALUE_DIGITAL);
    EXPECT_EQ(Read(served, KEL_VALUE_DIGITAL, &cell), KEL_OK);
    EXPECT_EQ(LastSent(), Framed({"10?0MRL00000"}).front());
}

// ---- refused before anything is sent -----------------------------------------------------

TEST_F(EndToEndRefusal, GatesTheDriverCannotServeAreRefusedWithoutSending) {
    ASSERT_NO_FATAL_FAILURE(Connect({}, kPatient));
    // The block check admits 16 bits at the top byte of a file register area.
    const Gate pastTheEnd = CheckBlock("01M09777", KEL_VALUE_ANALOG16, 1);
    ASSERT_EQ(pastTheEnd.address.widthBits, 16);
    const Gate handBuilt {"01MA1577", {1, AreaMA, 895, 255, 16}};
    const Gate area2 {"01XX0000", {1, 2, 0, 255, 16}};
    const Gate word = Check("01MA0100", KEL_VALUE_ANALOG16);

    struct Refusal {
        const char* what;
        const Gate* gate;
        bool write;
        std::uint32_t valueType;
    };
    const Refusal refusals[] = {
        {"read 16 bits past the end of M09", &pastTheEnd, false, 0},
        {"write 16 bits past the end of M09", &pastTheEnd, true, 0},
        {"read 32 bits at the top of MA", &handBuilt, false, 4},
        {"write 32 bits at the top of MA", &handBuilt, true, 4},
        {"read area 2", &area2, false, 0},
        {"write area 2", &area2, true, 0},
        {"write value type 2", &word, true, 2},
        {"write value type 3", &word, true, 3},
        {"write value type 7", &word, true, 7},
    };
    for (const Refusal& r : refusals) {
        SCOPED_TRACE(r.what);
        std::uint32_t cell = 0x1234A5A5;
        const std::uint32_t before = cell;
        EXPECT_EQ(r.write ? Write(*r.gate, r.valueType, &cell) : Read(*r.gate, r.valueType, &cell), KEL_REFUSED);
        EXPECT_EQ(cell, before);
        EXPECT_EQ(Logged(), std::vector<Message> {});
        ExpectNothingWasSent(r.what);
    }

    // Out of range for one byte: logged with the upper-cased GAS on each attempt.
    struct OutOfRange {
        const char* gas;
        std::uint32_t type;
        std::uint32_t cell;
    };
    const OutOfRange values[] = {
        {"01mb0010b", KEL_VALUE_ANALOG16, 0x0100A5A5},
        {"01r00003", KEL_VALUE_DIGITAL, 0x0100A5A5},
    };
    for (const OutOfRange& v : values) {
        SCOPED_TRACE(v.gas);
        teskar_clear();
        const Gate gate = Check(v.gas, v.type);
        std::uint32_t cell = v.cell;
        EXPECT_EQ(Write(gate, v.type, &cell), KEL_REFUSED);
        std::string shown = v.gas;
        for (char& ch : shown) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        EXPECT_EQ(Logged(), EachAttempt({{32, "KELSRP: Write failed Value out of range. GAS=" + shown}}));
        ExpectNothingWasSent(v.gas);
    }
}

}  // namespace
