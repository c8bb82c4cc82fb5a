// jwgate end to end: the simulator on a pseudo-terminal, the gateway as its
// own process, and Modbus TCP clients we did not write the server side of:
// libmodbus and mbpoll. Values, writes through write protection, the
// exceptions, and a silent line that comes back; clients that hold their
// slots and say nothing, a crowd arriving at once, and the unit filter.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <modbus/modbus.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <algorithm>
#include <iterator>

#include "jwgate/free_port.h"
#include "jwgate/gateway_process.h"
#include "tools/jwsim/simulator.h"

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kPatience {10000};

// modbusKeys go into [modbus] as they are.
std::string Configuration(const std::string& port, const std::string& modbusKeys) {
    return "[line]\nport = \"" + port + "\"\nbaud = 19200\nlink_timeout_ms = 50\n"
           "[modbus]\nport = 0\nwrite_timeout_ms = 3000\n" + modbusKeys +
           "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 200\nmodbus = 0\n"
           "[[point]]\nname = \"setpoint\"\naddress = \"01MA0102\"\ntype = \"i16\"\ninterval_ms = 200\n"
           "writable = true\nmodbus = 0\n"
           "[[point]]\nname = \"flow\"\naddress = \"01MA0104\"\ntype = \"float\"\ninterval_ms = 200\nmodbus = 1\n"
           "[[point]]\nname = \"total\"\naddress = \"01MA0110\"\ntype = \"u32\"\ninterval_ms = 200\nmodbus = 3\n"
           "word_order = \"low_first\"\n"
           "[[point]]\nname = \"batch\"\naddress = \"01T0005\"\ntype = \"u16\"\ninterval_ms = 200\nmodbus = 5\n"
           "[[point]]\nname = \"speed\"\naddress = \"01MB0010B\"\ntype = \"u8\"\ninterval_ms = 200\n"
           "writable = true\nmodbus = 1\n"
           "[[point]]\nname = \"pump\"\naddress = \"01R00010\"\ntype = \"relay\"\ninterval_ms = 200\n"
           "writable = true\nmodbus = 0\n"
           "[[point]]\nname = \"alarm\"\naddress = \"01R00017\"\ntype = \"relay\"\ninterval_ms = 200\nmodbus = 0\n";
}

struct ModbusDeleter {
    void operator()(modbus_t* modbus) const {
        modbus_close(modbus);
        modbus_free(modbus);
    }
};
using Client = std::unique_ptr<modbus_t, ModbusDeleter>;

Client Connect(int port) {
    Client client(modbus_new_tcp("127.0.0.1", port));
    if (client && modbus_connect(client.get()) != 0) client.reset();
    return client;
}

// One request on a raw connection; the PDU of its reply, or nothing when no
// reply to it (its transaction, its unit) came.
std::vector<std::uint8_t> Exchange(int fd, std::uint16_t transaction, std::uint8_t unit,
                                   const std::vector<std::uint8_t>& pdu) {
    const auto follows = static_cast<std::uint16_t>(pdu.size() + 1);
    std::vector<std::uint8_t> frame = {static_cast<std::uint8_t>(transaction >> 8),
                                       static_cast<std::uint8_t>(transaction), 0, 0,
                                       static_cast<std::uint8_t>(follows >> 8), static_cast<std::uint8_t>(follows), unit};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(frame.size())) return {};
    timeval wait {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::uint8_t head[7] = {};
    if (recv(fd, head, sizeof head, MSG_WAITALL) != 7 || (head[0] << 8 | head[1]) != transaction || head[6] != unit) {
        return {};
    }
    const int rest = (head[4] << 8 | head[5]) - 1;
    std::vector<std::uint8_t> reply(static_cast<std::size_t>(std::max(rest, 0)));
    if (rest <= 0 || recv(fd, reply.data(), reply.size(), MSG_WAITALL) != rest) return {};
    return reply;
}

// Input register 100 maps no point: answered 84 02 whatever the line does.
const std::vector<std::uint8_t> kReadUnmapped = {0x04, 0, 100, 0, 1};
const std::vector<std::uint8_t> kUnmappedAnswer = {0x84, 0x02};

// Input registers 0 to 5 once every point answers; the errno of the last try
// otherwise.
// Retries read until it succeeds: a point answers 0x0B until the scan has
// read it, and on a paced line the first scan takes a while.
bool ReadWhenGood(const std::function<bool()>& read, int* error) {
    const auto until = Clock::now() + kPatience;
    while (Clock::now() < until) {
        if (read()) return true;
        *error = errno;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

// Reads input registers 0 to 5 into registers.
std::function<bool()> InputRegisters(modbus_t* client, std::uint16_t* registers) {
    return [=] { return modbus_read_input_registers(client, 0, 6, registers) == 6; };
}

// Waits until reading input register 0 fails (or succeeds) as wanted.
bool WaitForRead(modbus_t* client, bool good, int* error) {
    const auto until = Clock::now() + kPatience;
    std::uint16_t value = 0;
    while (Clock::now() < until) {
        const bool read = modbus_read_input_registers(client, 0, 1, &value) == 1;
        *error = read ? 0 : errno;
        if (read == good) return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

class GatewayModbus : public ::testing::Test {
protected:
    explicit GatewayModbus(std::string modbusKeys = "") : modbusKeys_(std::move(modbusKeys)) {}

    void SetUp() override {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        simulator_.Edit(1, [](kel::jwsim::Controller& c) {
            c.SetRegisters('A', 0100, {0x34, 0x12, 0xFB, 0xFF, 0x00, 0x00, 0xC0, 0x3F});  // 1.5f
            c.SetRegisters('A', 0110, {0x78, 0x56, 0x34, 0x12});
            c.SetTimer(5, 120);
            c.SetRegister('B', 010, 7);
            c.SetRelay(010, '1');
            c.SetRelay(017, '1');
        });
        gateway_ = std::make_unique<GatewayProcess>(Configuration(simulator_.portName(), modbusKeys_));
        port_ = gateway_->ModbusPort(kPatience);
        ASSERT_NE(port_, 0) << gateway_->Log();
        client_ = Connect(port_);
        ASSERT_TRUE(client_) << modbus_strerror(errno);
    }

    void TearDown() override {
        client_.reset();
        if (gateway_) {
            EXPECT_EQ(gateway_->Stop(SIGTERM, kPatience), 0) << gateway_->Log();
        }
    }

    std::string modbusKeys_;
    // Paced like the line, so replies arrive a character at a time.
    kel::jwsim::Simulator simulator_ {{.stations = {1}, .protect = true, .baud = 19200}};
    std::unique_ptr<GatewayProcess> gateway_;
    int port_ = 0;
    Client client_;
};

TEST_F(GatewayModbus, ValuesToLibmodbusAndMbpollWhileAStalledClientHangsOn) {
    // A client that sends half a request and then nothing.
    const int stalled = ConnectRaw(port_);
    ASSERT_GE(stalled, 0);
    ASSERT_EQ(write(stalled, "\0\1\0", 3), 3);

    std::uint16_t registers[6] = {};
    int error = 0;
    ASSERT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error) << gateway_->Log();
    EXPECT_EQ(registers[0], 0x1234);
    EXPECT_EQ(registers[1], 0x3FC0);  // 1.5f, high word first
    EXPECT_EQ(registers[2], 0x0000);
    EXPECT_EQ(registers[3], 0x5678);  // low word first for this point
    EXPECT_EQ(registers[4], 0x1234);
    EXPECT_EQ(registers[5], 120);
    std::uint16_t holding[2] = {};
    ASSERT_TRUE(ReadWhenGood([&] { return modbus_read_registers(client_.get(), 0, 2, holding) == 2; }, &error));
    EXPECT_EQ(holding[0], 0xFFFB);
    EXPECT_EQ(holding[1], 7);
    std::uint8_t bits[1] = {};
    ASSERT_TRUE(ReadWhenGood([&] { return modbus_read_bits(client_.get(), 0, 1, bits) == 1; }, &error));
    EXPECT_EQ(bits[0], 1);
    ASSERT_TRUE(ReadWhenGood([&] { return modbus_read_input_bits(client_.get(), 0, 1, bits) == 1; }, &error));
    EXPECT_EQ(bits[0], 1);
    // Addresses no point maps.
    EXPECT_EQ(modbus_read_input_registers(client_.get(), 5, 2, registers), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(modbus_read_bits(client_.get(), 1, 1, bits), -1);
    EXPECT_EQ(errno, EMBXILADD);

    const std::string port = std::to_string(port_);
    const RunResult floats = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-0", "-1", "-B", "-t", "3:float",
                                  "-r", "1", "127.0.0.1"}, kPatience);
    EXPECT_NE(floats.output.find("[1]: \t1.5"), std::string::npos) << floats.output << floats.errors;
    const RunResult words = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-0", "-1", "-t", "4", "-c", "2",
                                 "-r", "0", "127.0.0.1"}, kPatience);
    EXPECT_NE(words.output.find("[0]: \t65531 (-5)"), std::string::npos) << words.output << words.errors;
    close(stalled);
}

// A client that sends its request a byte at a time, each within the
// gap the server allows, is answered in the end and holds up nobody else.
TEST_F(GatewayModbus, AClientDribblingItsRequestHoldsUpNoOther) {
    std::uint16_t registers[6] = {};
    int error = 0;
    ASSERT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error);
    const int slow = ConnectRaw(port_);
    ASSERT_GE(slow, 0);
    // Read input register 0: transaction 7, protocol 0, 6 bytes follow, unit 1.
    const unsigned char request[] = {0, 7, 0, 0, 0, 6, 1, 4, 0, 0, 0, 1};
    std::thread dribble([&] {
        for (const unsigned char byte : request) {
            (void)!write(slow, &byte, 1);
            std::this_thread::sleep_for(milliseconds(150));
        }
    });
    // The others are served while the slow request is still coming in
    // (1.8 s in all): within the client's 1 s, every time.
    std::this_thread::sleep_for(milliseconds(300));
    modbus_set_response_timeout(client_.get(), 1, 0);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(modbus_read_input_registers(client_.get(), 0, 1, registers), 1) << modbus_strerror(errno);
    }
    dribble.join();
    unsigned char reply[11] = {};
    timeval wait {5, 0};
    setsockopt(slow, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    ASSERT_EQ(recv(slow, reply, sizeof reply, MSG_WAITALL), 11);
    EXPECT_EQ(reply[1], 7);                       // its own transaction
    EXPECT_EQ(reply[7], 4);                       // no exception
    EXPECT_EQ(reply[9] << 8 | reply[10], 0x1234);
    close(slow);
}

TEST_F(GatewayModbus, WritesFromBothClientsReachTheProtectedControllerAndAreReadBack) {
    std::uint16_t registers[6] = {};
    int error = 0;
    ASSERT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error);
    ASSERT_EQ(modbus_write_register(client_.get(), 0, static_cast<std::uint16_t>(-300)), 1) << modbus_strerror(errno);
    const kel::jwsim::Controller after = simulator_.Snapshot(1);
    EXPECT_EQ(after.Register('A', 0102) | after.Register('A', 0103) << 8, 0xFED4);
    // The controller asked for write mode; the gateway switched it on and off.
    const std::vector<std::string> payloads = simulator_.Payloads();
    EXPECT_NE(std::find(payloads.begin(), payloads.end(), "01?0EWR2"), payloads.end());
    EXPECT_EQ(after.writeMode, 0);
    // Counted, not warned about: every write to a protected controller goes so.
    EXPECT_EQ(gateway_->Log().find("warning: KELSRP"), std::string::npos) << gateway_->Log();

    const std::string port = std::to_string(port_);
    const RunResult coil = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-0", "-1", "-t", "0", "-r", "0",
                                "127.0.0.1", "0"}, kPatience);
    EXPECT_EQ(coil.exitCode, 0) << coil.output << coil.errors;
    EXPECT_EQ(simulator_.Snapshot(1).Relay(010), '0');
    const RunResult byte = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-0", "-1", "-t", "4", "-r", "1",
                                "127.0.0.1", "200"}, kPatience);
    EXPECT_EQ(byte.exitCode, 0) << byte.output << byte.errors;
    EXPECT_EQ(simulator_.Snapshot(1).Register('B', 010), 200);

    // Read back by the next scan.
    const auto until = Clock::now() + kPatience;
    std::uint16_t holding[2] = {};
    while (Clock::now() < until && !(modbus_read_registers(client_.get(), 0, 2, holding) == 2 &&
                                     holding[0] == static_cast<std::uint16_t>(-300) && holding[1] == 200)) {
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(holding[0], static_cast<std::uint16_t>(-300));
    EXPECT_EQ(holding[1], 200);

    // Refused without touching the line: a value an 8-bit point cannot take,
    // an input register, half of nothing.
    EXPECT_EQ(modbus_write_register(client_.get(), 1, 256), -1);
    EXPECT_EQ(errno, EMBXILVAL);
    EXPECT_EQ(modbus_write_register(client_.get(), 2, 1), -1);
    EXPECT_EQ(errno, EMBXILADD);
    EXPECT_EQ(simulator_.Snapshot(1).Register('B', 010), 200);
}

TEST_F(GatewayModbus, SilentLineAnswersGatewayTargetFailedAndRecovers) {
    int error = 0;
    ASSERT_TRUE(WaitForRead(client_.get(), true, &error)) << modbus_strerror(error);
    simulator_.InjectFault(kel::jwsim::DefaultFault(kel::jwsim::FaultKind::kNoReply, 1000000));
    ASSERT_TRUE(WaitForRead(client_.get(), false, &error));
    EXPECT_EQ(error, EMBXGTAR);
    // A write on the silent line fails the same way, within its bounded wait.
    EXPECT_EQ(modbus_write_register(client_.get(), 0, 1), -1);
    EXPECT_EQ(errno, EMBXGTAR);
    simulator_.ClearFaults();
    EXPECT_TRUE(WaitForRead(client_.get(), true, &error)) << modbus_strerror(error);
    EXPECT_TRUE(gateway_->WaitForLog("station 01: answering again", kPatience));
}

// The fixture with more keys in [modbus].
template <const char* kKeys>
class GatewayModbusWith : public GatewayModbus {
protected:
    GatewayModbusWith() : GatewayModbus(kKeys) {}
};
constexpr char kUnit7[] = "unit_id = 7\n";
constexpr char kIdleFor1s[] = "idle_timeout_s = 1\n";
constexpr char kFourClients[] = "max_clients = 4\n";
constexpr char kSixtyFourClients[] = "max_clients = 64\n";
using GatewayModbusUnit = GatewayModbusWith<kUnit7>;
using GatewayModbusIdle = GatewayModbusWith<kIdleFor1s>;
using GatewayModbusCrowded = GatewayModbusWith<kFourClients>;
using GatewayModbusMany = GatewayModbusWith<kSixtyFourClients>;
constexpr char kGuarded[] = "allow = [\"127.0.0.1\", \"10.20.0.0/16\"]\nread_only = true\n";
using GatewayModbusGuarded = GatewayModbusWith<kGuarded>;

// Refusals before any point is looked at, as a raw client sees them. Unit 0
// is served like 7; any other hears 0x0B, as from a target that is silent.
TEST_F(GatewayModbusUnit, RefusalsCarryTheRightFunctionByteAndCode) {
    struct Case {
        const char* what;
        std::uint8_t unit;
        std::vector<std::uint8_t> request;
        std::vector<std::uint8_t> answer;
    };
    const Case cases[] = {
        {"unknown function", 7, {0x2B, 0x0E, 0x01, 0x00}, {0xAB, 0x01}},
        {"function with the high bit set", 7, {0x81, 0, 0, 0, 1}, {0x81, 0x01}},
        {"function 0xFF", 7, {0xFF}, {0xFF, 0x01}},
        {"read past 65535", 7, {0x04, 0xFF, 0xFF, 0, 2}, {0x84, 0x02}},
        {"coils past 65535", 7, {0x01, 0xFF, 0xF0, 0, 17}, {0x81, 0x02}},
        {"read of none", 7, {0x04, 0, 0, 0, 0}, {0x84, 0x03}},
        {"read of 126 registers", 7, {0x04, 0, 0, 0, 126}, {0x84, 0x03}},
        {"write past 65535", 7, {0x10, 0xFF, 0xFF, 0, 2, 4, 0, 1, 0, 2}, {0x90, 0x02}},
        {"write with a wrong byte count", 7, {0x10, 0xFF, 0xFF, 0, 2, 3, 0, 1, 0}, {0x90, 0x03}},
        {"unit 0", 0, kReadUnmapped, kUnmappedAnswer},
        {"another unit", 8, kReadUnmapped, {0x84, 0x0B}},
        {"unit 255", 255, kReadUnmapped, {0x84, 0x0B}},
    };
    const int fd = ConnectRaw(port_);
    ASSERT_GE(fd, 0);
    std::uint16_t transaction = 1;
    for (const Case& c : cases) EXPECT_EQ(Exchange(fd, transaction++, c.unit, c.request), c.answer) << c.what;
    close(fd);
}

// A connection that says nothing is closed after the idle timeout (not
// before); one that keeps asking outlives it.
TEST_F(GatewayModbusIdle, ClosesTheSilentClientAndKeepsTheTalkingOne) {
    const auto opened = Clock::now();
    const int silent = ConnectRaw(port_);
    const int talker = ConnectRaw(port_);
    ASSERT_GE(silent, 0);
    ASSERT_GE(talker, 0);
    std::uint16_t transaction = 1;
    bool closed = false;
    while (!closed && Clock::now() < opened + kPatience) {
        ASSERT_EQ(Exchange(talker, transaction++, 1, kReadUnmapped), kUnmappedAnswer);
        char byte = 0;
        closed = recv(silent, &byte, 1, MSG_DONTWAIT) == 0;
        std::this_thread::sleep_for(milliseconds(100));
    }
    EXPECT_TRUE(closed);
    EXPECT_GE(Clock::now() - opened, milliseconds(1000));
    EXPECT_EQ(Exchange(talker, transaction, 1, kReadUnmapped), kUnmappedAnswer);
    close(silent);
    close(talker);
}

// Connections that never send hold every slot: a new client still gets in,
// in place of the longest idle, and the log says so once, not per client.
TEST_F(GatewayModbusCrowded, ANewClientTakesTheSlotOfTheLongestIdle) {
    std::uint16_t registers[6] = {};
    int error = 0;
    ASSERT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error);
    std::vector<int> idle;
    for (int i = 0; i < 24; ++i) {
        idle.push_back(ConnectRaw(port_));
        ASSERT_GE(idle.back(), 0);
    }
    Client newcomer = Connect(port_);
    ASSERT_TRUE(newcomer) << modbus_strerror(errno);
    EXPECT_TRUE(ReadWhenGood(InputRegisters(newcomer.get(), registers), &error)) << modbus_strerror(error);
    timeval wait {10, 0};
    setsockopt(idle.front(), SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte = 0;
    EXPECT_EQ(recv(idle.front(), &byte, 1, 0), 0);  // the oldest made way
    errno = 0;
    EXPECT_EQ(recv(idle.back(), &byte, 1, MSG_DONTWAIT), -1);  // the youngest is kept
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_TRUE(gateway_->WaitForLog("client slots taken", kPatience));
    // For 22 clients closed within a few seconds.
    EXPECT_LE(gateway_->TimesLogged("client slots taken"), 2) << gateway_->Log();
    for (const int fd : idle) close(fd);
}

// 60 clients connect while the gateway cannot accept (stopped): the backlog
// holds them all, and each is answered once it runs again.
TEST_F(GatewayModbusMany, SixtyClientsConnectingAtOnceAllGetIn) {
    constexpr int kClients = 60;
    ASSERT_EQ(kill(gateway_->pid(), SIGSTOP), 0);
    // Each connect gives up after 2 s: only the backlog can take it meanwhile.
    std::vector<int> fds;
    std::generate_n(std::back_inserter(fds), kClients, [&] { return ConnectRaw(port_, 2); });
    kill(gateway_->pid(), SIGCONT);
    EXPECT_EQ(std::count(fds.begin(), fds.end(), -1), 0);
    int answered = 0;
    for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i] < 0) continue;
        answered += Exchange(fds[i], static_cast<std::uint16_t>(i + 1), 1, kReadUnmapped) == kUnmappedAnswer;
        close(fds[i]);
    }
    EXPECT_EQ(answered, kClients);
}

// A client from an address not allowed (the loopback range lets the test
// choose 127.0.0.2) is closed without a byte of answer while 127.0.0.1
// reads; every write is refused with 0x01 and none reaches the line.
TEST_F(GatewayModbusGuarded, OnlyAllowedAddressesReadAndNothingIsWritten) {
    std::uint16_t registers[6] = {};
    int error = 0;
    ASSERT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error);

    const int stranger = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from {};
    from.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
    ASSERT_EQ(bind(stranger, reinterpret_cast<sockaddr*>(&from), sizeof from), 0) << std::strerror(errno);
    sockaddr_in to {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port_));
    inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
    ASSERT_EQ(connect(stranger, reinterpret_cast<sockaddr*>(&to), sizeof to), 0) << std::strerror(errno);
    timeval wait {5, 0};
    setsockopt(stranger, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    std::uint8_t byte = 0;
    errno = 0;
    const ssize_t got = recv(stranger, &byte, 1, 0);
    EXPECT_TRUE(got == 0 || (got < 0 && errno == ECONNRESET)) << got << " " << std::strerror(errno);
    close(stranger);
    EXPECT_TRUE(gateway_->WaitForLog("modbus: refused a connection from 127.0.0.2", kPatience)) << gateway_->Log();

    simulator_.ClearRequests();
    const std::string port = std::to_string(port_);
    for (const auto& [table, value] : {std::pair {"4", "300"}, std::pair {"0", "0"}}) {
        const RunResult write = RunProgram({"/usr/bin/mbpoll", "-m", "tcp", "-p", port, "-0", "-1", "-t", table, "-r",
                                            "0", "127.0.0.1", value}, kPatience);
        EXPECT_NE(write.exitCode, 0);
        EXPECT_NE((write.output + write.errors).find("Illegal function"), std::string::npos) << write.output << write.errors;
    }
    EXPECT_EQ(modbus_write_register(client_.get(), 0, 1), -1);
    EXPECT_EQ(errno, EMBXILFUN);
    EXPECT_TRUE(ReadWhenGood(InputRegisters(client_.get(), registers), &error)) << modbus_strerror(error);
    for (const std::string& payload : simulator_.Payloads()) {
        EXPECT_EQ(payload.find("WR"), std::string::npos) << payload;
    }
    EXPECT_EQ(simulator_.Snapshot(1).Relay(010), '1');
}

}  // namespace
}  // namespace jwgate::test
