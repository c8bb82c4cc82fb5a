// The serial port layer over the real POSIX backend, on pseudo-terminal
// pairs: the layer opens the slave by name, the test plays the far end of
// the line on the master.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "serial/posix/posix_device_name.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"
#include "support/pty_pair.h"

namespace {

using kel::PortHandle;
using kel::test::DeviceIsFree;
using kel::test::PtyPair;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr milliseconds kArrival {2000};  // bytes reach the other end well within this

kel::LineParameters Line(std::uint16_t baud, std::uint16_t dataBits, std::uint16_t stopBits,
                  std::uint16_t parity) {
    return kel::LineParameters {baud, dataBits, stopBits, parity};
}

const kel::LineParameters k9600_8N1 = Line(9600, 8, 0, 0);
const kel::LineParameters k9600_7E1 = Line(9600, 7, 0, 2);

long long MillisecondsSince(Clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(Clock::now() - start).count();
}

std::vector<unsigned char> EveryByteValue() {
    std::vector<unsigned char> bytes(256);
    for (int i = 0; i < 256; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<unsigned char>(i);
    return bytes;
}

// A port opened through the layer, closed again at the end of the scope if
// the test did not close it itself.
class ScopedPort {
public:
    ScopedPort() = default;
    ~ScopedPort() { Close(); }
    ScopedPort(const ScopedPort&) = delete;
    ScopedPort& operator=(const ScopedPort&) = delete;

    int Open(const std::string& name, const kel::LineParameters& line, std::uint16_t flags = 8) {
        Close();
        const int result = kel::OpenPort(name.c_str(), &line, flags, &handle_);
        open_ = result == kel::kSerialOk;
        return result;
    }
    int Close() {
        if (!open_) return kel::kSerialOk;
        open_ = false;
        return kel::ClosePort(handle_);
    }
    PortHandle handle() const { return handle_; }

private:
    PortHandle handle_ = nullptr;
    bool open_ = false;
};

class SerialPtyTest : public ::testing::Test {
protected:
    void SetUp() override {
        kel::UseSerialPlatform(nullptr);  // the native backend, whatever ran before
        ASSERT_TRUE(pty.ok()) << pty.error();
    }

    // Reads count bytes through the layer; the bytes got, whatever the result.
    std::vector<unsigned char> ReadThroughPort(PortHandle port, std::size_t count, int* result) {
        std::vector<unsigned char> bytes(count, 0xEE);
        std::uint32_t got = 0xFFFFFFFFu;
        *result = kel::ReadPort(port, bytes.data(), static_cast<std::uint16_t>(count), &got);
        bytes.resize(got <= count ? got : count);
        return bytes;
    }

    PtyPair pty;
};

// ---- line settings seen from the far side ---------------------------------

using SerialPtyLine = SerialPtyTest;

void ExpectRawLine(const termios& tio) {
    EXPECT_EQ(tio.c_lflag & (ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN), 0u);
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | INLCR | IGNCR | IXON | IXOFF | IXANY | ISTRIP | BRKINT | PARMRK |
                             IGNBRK | IUCLC | IMAXBEL),
              0u);
    EXPECT_EQ(tio.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
    EXPECT_EQ(tio.c_cflag & CRTSCTS, 0u);
}

TEST_F(SerialPtyLine, OpenMakesTheLineRawAtStandardRatesByPathAndByRelativeName) {
    // A fresh pty slave is a cooked terminal at 38400: the open has to change it.
    const termios before = pty.Attributes();
    ASSERT_NE(before.c_lflag & ICANON, 0u);
    ASSERT_NE(before.c_lflag & ECHO, 0u);
    ASSERT_NE(before.c_oflag & OPOST, 0u);
    ASSERT_NE(before.c_iflag & ICRNL, 0u);

    struct Case {
        std::string name;
        std::uint16_t baud;
        speed_t code;
    };
    for (const Case& c : {Case {pty.path(), 9600, B9600}, Case {pty.relativeName(), 19200, B19200},
                          Case {pty.relativeName(), 9600, B9600}, Case {pty.path(), 19200, B19200}}) {
        SCOPED_TRACE(c.name + " at " + std::to_string(c.baud));
        ScopedPort port;
        ASSERT_EQ(port.Open(c.name, Line(c.baud, 8, 0, 0)), kel::kSerialOk);
        const termios tio = pty.Attributes();
        ExpectRawLine(tio);
        EXPECT_EQ(tio.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(cfgetospeed(&tio), c.code);
        EXPECT_EQ(cfgetispeed(&tio), c.code);
        EXPECT_EQ(pty.OutputSpeed(), c.baud);
        EXPECT_EQ(pty.InputSpeed(), c.baud);
        EXPECT_EQ(port.Close(), kel::kSerialOk);
    }
}

TEST_F(SerialPtyLine, NonStandardRatesAreSetThroughTermios2) {
    for (std::uint16_t baud : {14400, 31250, 9600, 14400}) {
        SCOPED_TRACE(baud);
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), Line(baud, 8, 0, 0)), kel::kSerialOk);
        EXPECT_EQ(pty.OutputSpeed(), baud);
        EXPECT_EQ(pty.InputSpeed(), baud);
        ExpectRawLine(pty.Attributes());
    }
}

TEST_F(SerialPtyLine, StopCodeTwoSetsTwoStopBitsAndCodeZeroClearsThem) {
    {
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), Line(9600, 8, 2, 0)), kel::kSerialOk);
        EXPECT_NE(pty.Attributes().c_cflag & CSTOPB, 0u);
    }
    {
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), Line(9600, 8, 0, 0)), kel::kSerialOk);
        EXPECT_EQ(pty.Attributes().c_cflag & CSTOPB, 0u);
    }
}

TEST_F(SerialPtyLine, PtyForcesEightBitsNoParityAndRepeatedOpensWithTheSameSettingsSucceed) {
    // The kernel keeps CS8 without parity on a pty, and the C library's
    // tcsetattr then fails a request that changes nothing else with EINVAL:
    // neither is a refusal.
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.relativeName(), k9600_7E1), kel::kSerialOk);
        const termios tio = pty.Attributes();
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & PARENB, 0u);
        EXPECT_EQ(pty.OutputSpeed(), 9600u);
        ExpectRawLine(tio);
        ASSERT_EQ(port.Close(), kel::kSerialOk);
    }
    for (const kel::LineParameters& line : {Line(9600, 7, 2, 1), Line(9600, 7, 2, 1), Line(14400, 7, 0, 2),
                                     Line(14400, 7, 0, 2), Line(19200, 8, 0, 3), Line(19200, 8, 0, 4),
                                     Line(9600, 5, 1, 0), Line(9600, 6, 0, 0)}) {
        SCOPED_TRACE(std::to_string(line.baudRate) + " " + std::to_string(line.dataBits) + " " +
                     std::to_string(line.stopBits) + " " + std::to_string(line.parity));
        ScopedPort port;
        EXPECT_EQ(port.Open(pty.path(), line), kel::kSerialOk);
        EXPECT_EQ(pty.OutputSpeed(), line.baudRate);
        EXPECT_EQ((pty.Attributes().c_cflag & CSTOPB) != 0, line.stopBits != 0);
    }
}

TEST_F(SerialPtyLine, EveryByteValuePassesUnchangedInBothDirections) {
    std::vector<unsigned char> bytes = {'\r', '\n', 0x00, 0x11, 0x13, 0x03, 0x04, 0x1A, 0x1C,
                                        0x7F, 0xFF, 0x80, 0xFC, '\r', '\r', '\n'};
    const std::vector<unsigned char> all = EveryByteValue();
    bytes.insert(bytes.end(), all.begin(), all.end());

    for (const kel::LineParameters& line : {k9600_8N1, k9600_7E1}) {
        SCOPED_TRACE(line.dataBits);
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), line), kel::kSerialOk);
        ASSERT_EQ(kel::SetReadTimeout(port.handle(), 200), 100);

        // Far side to port.
        ASSERT_TRUE(pty.WriteFromFarSide(bytes));
        int result = -1;
        EXPECT_EQ(ReadThroughPort(port.handle(), bytes.size(), &result), bytes);
        EXPECT_EQ(result, kel::kSerialOk);
        EXPECT_EQ(pty.BytesWaitingAtSlave(), 0);

        // Port to far side: nothing added, dropped or translated.
        std::uint32_t written = 0;
        ASSERT_EQ(kel::WritePort(port.handle(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                 &written),
                  kel::kSerialOk);
        EXPECT_EQ(written, bytes.size());
        EXPECT_EQ(pty.ReadOnFarSide(bytes.size(), kArrival), bytes);
        EXPECT_TRUE(pty.DrainFarSide(milliseconds(30)).empty());
        // No echo of what came in either.
        EXPECT_EQ(port.Close(), kel::kSerialOk);
    }
}

// ---- settings the device refuses -------------------------------------------

using SerialPtyRefused = SerialPtyTest;

TEST_F(SerialPtyRefused, RefusedLineSettingsGiveFiveAndLeaveTheDeviceClosed) {
    const kel::LineParameters refused[] = {
        Line(9600, 9, 0, 0),  // no such character size
        Line(9600, 4, 0, 0),  //
        Line(9600, 8, 0, 7),  // no such parity code
        Line(9600, 8, 0, 5),  //
        Line(9600, 8, 1, 0),  // one and a half stop bits need five data bits
        Line(9600, 5, 2, 0),  // two stop bits do not exist with five
        Line(9600, 8, 3, 0),  // no such stop code
        Line(0, 8, 0, 0),     // no rate
    };
    for (const kel::LineParameters& line : refused) {
        SCOPED_TRACE(std::to_string(line.baudRate) + " " + std::to_string(line.dataBits) + " " +
                     std::to_string(line.stopBits) + " " + std::to_string(line.parity));
        PortHandle handle = nullptr;
        EXPECT_EQ(kel::OpenPort(pty.path().c_str(), &line, 8, &handle), kel::kSerialStateRefused);
        // Closed again: the handle is dead, nobody holds the device, and a
        // good open follows.
        EXPECT_EQ(kel::ClosePort(handle), kel::kSerialIoFailed);
        EXPECT_TRUE(DeviceIsFree(pty.path()));
        EXPECT_FALSE(pty.ExclusiveFlag());
        ScopedPort good;
        EXPECT_EQ(good.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    }
}

// ---- read timeouts -----------------------------------------------------------

using SerialPtyTimeout = SerialPtyTest;

TEST_F(SerialPtyTimeout, ReadWithNothingArrivingEndsAfterTheReadTimeout) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 20), 100);  // 1000 ms after the open

    unsigned char byte = 0;
    std::uint32_t got = 99;
    Clock::time_point start = Clock::now();
    EXPECT_EQ(kel::ReadPort(port.handle(), &byte, 1, &got), kel::kSerialIoFailed);
    long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(got, 0u);
    EXPECT_GE(elapsed, 190);
    EXPECT_LE(elapsed, 800);

    // A shorter timeout is honoured as well.
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 5), 20);
    start = Clock::now();
    EXPECT_EQ(kel::ReadPort(port.handle(), &byte, 1, nullptr), kel::kSerialIoFailed);
    elapsed = MillisecondsSince(start);
    EXPECT_GE(elapsed, 45);
    EXPECT_LE(elapsed, 600);
}

namespace {
void IgnoreAlarm(int) {}
}  // namespace

TEST_F(SerialPtyTimeout, APeriodicTimerSignalDoesNotStretchTheTimeout) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 10);  // 100 ms

    // A host with a 20 ms timer whose handler restarts interrupted calls:
    // each signal used to start the whole wait over, for ever.
    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = IgnoreAlarm;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    const itimerval every20ms {{0, 20000}, {0, 20000}};
    const itimerval stop {};
    ASSERT_EQ(setitimer(ITIMER_REAL, &every20ms, nullptr), 0);

    unsigned char byte = 0;
    const Clock::time_point start = Clock::now();
    const int result = kel::ReadPort(port.handle(), &byte, 1, nullptr);
    const long long elapsed = MillisecondsSince(start);
    setitimer(ITIMER_REAL, &stop, nullptr);
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_EQ(result, kel::kSerialIoFailed);
    EXPECT_GE(elapsed, 95);
    EXPECT_LE(elapsed, 1000);
}

TEST_F(SerialPtyTimeout, ReadReturnsAsSoonAsTheBytesHaveArrived) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 500);  // 5 s

    std::thread farSide([this] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.WriteFromFarSide("ABC", 3);
    });
    char buffer[3] = {};
    std::uint32_t got = 0;
    const Clock::time_point start = Clock::now();
    const int result = kel::ReadPort(port.handle(), buffer, 3, &got);
    const long long elapsed = MillisecondsSince(start);
    farSide.join();
    EXPECT_EQ(result, kel::kSerialOk);
    EXPECT_EQ(got, 3u);
    EXPECT_EQ(std::string(buffer, 3), "ABC");
    EXPECT_LT(elapsed, 2500);
}

// ---- partial reads -----------------------------------------------------------

using SerialPtyPartialRead = SerialPtyTest;

TEST_F(SerialPtyPartialRead, SecondByteInTheNextTimeoutPeriodCompletesTheRead) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 30);  // 300 ms

    ASSERT_TRUE(pty.WriteFromFarSide("A", 1));
    ASSERT_TRUE(pty.WaitForBytesAtSlave(1, kArrival));
    const Clock::time_point start = Clock::now();
    std::thread farSide([this, start] {
        // Halfway through the second read period.
        std::this_thread::sleep_until(start + milliseconds(450));
        pty.WriteFromFarSide("B", 1);
    });
    char buffer[2] = {};
    std::uint32_t got = 0;
    const int result = kel::ReadPort(port.handle(), buffer, 2, &got);
    const long long elapsed = MillisecondsSince(start);
    farSide.join();
    EXPECT_EQ(result, kel::kSerialOk);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(std::string(buffer, 2), "AB");
    EXPECT_GE(elapsed, 440);  // the second byte really came after the first period
}

TEST_F(SerialPtyPartialRead, SecondByteThatNeverComesGivesSevenWithOneByteCounted) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 20);  // 200 ms
    ASSERT_TRUE(pty.WriteFromFarSide("A", 1));
    ASSERT_TRUE(pty.WaitForBytesAtSlave(1, kArrival));

    char buffer[2] = {'x', 'x'};
    std::uint32_t got = 0;
    const Clock::time_point start = Clock::now();
    EXPECT_EQ(kel::ReadPort(port.handle(), buffer, 2, &got), kel::kSerialIoFailed);
    const long long elapsed = MillisecondsSince(start);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buffer[0], 'A');
    // The first period ends with one byte, the second with none.
    EXPECT_GE(elapsed, 380);
    EXPECT_LE(elapsed, 1500);
}

// A reply frame is taken up to its CR in one go, and never past it: what
// follows belongs to the next frame.
TEST_F(SerialPtyPartialRead, ReadUntilTakesWhatHasArrivedUpToTheTerminatorAndLeavesTheRest) {
    struct Case {
        const char* sent;
        std::uint16_t count;
        const char* taken;
        const char* left;
    };
    const Case cases[] = {
        {"ab\rcd", 10, "ab\r", "cd"},
        {"ab\rcd", 2, "ab", "\rcd"},
        {"\rxy", 10, "\r", "xy"},
        {"abc", 10, "abc", ""},
    };
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 10);  // 100 ms
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sent);
        const std::size_t sent = std::strlen(c.sent);
        ASSERT_TRUE(pty.WriteFromFarSide(c.sent, sent));
        ASSERT_TRUE(pty.WaitForBytesAtSlave(static_cast<int>(sent), kArrival));
        char buffer[16] = {};
        std::uint32_t got = 0;
        ASSERT_EQ(kel::ReadPortUntil(port.handle(), buffer, c.count, '\r', &got), kel::kSerialOk);
        EXPECT_EQ(std::string(buffer, got), c.taken);
        const std::size_t left = std::strlen(c.left);
        int result = 0;
        const auto rest = ReadThroughPort(port.handle(), left, &result);
        EXPECT_EQ(std::string(rest.begin(), rest.end()), c.left);
        EXPECT_EQ(kel::WaitingBytes(port.handle()), 0u);
    }
    char buffer[4] = {};
    std::uint32_t got = 7;
    EXPECT_EQ(kel::ReadPortUntil(port.handle(), buffer, 4, '\r', &got), kel::kSerialIoFailed);
    EXPECT_EQ(got, 0u);
}

// ---- purge -------------------------------------------------------------------

using SerialPtyPurge = SerialPtyTest;

TEST_F(SerialPtyPurge, WaitingInputIsDiscardedAndThePreviousTimeoutRestored) {
    for (int count : {1000, 512, 1, 1200}) {
        SCOPED_TRACE(count);
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
        ASSERT_EQ(kel::SetReadTimeout(port.handle(), 150), 100);

        std::vector<unsigned char> stale(static_cast<std::size_t>(count));
        for (std::size_t i = 0; i < stale.size(); ++i) stale[i] = static_cast<unsigned char>('a' + i % 26);
        ASSERT_TRUE(pty.WriteFromFarSide(stale));
        ASSERT_TRUE(pty.WaitForBytesAtSlave(count, kArrival)) << pty.BytesWaitingAtSlave();

        const Clock::time_point start = Clock::now();
        EXPECT_EQ(kel::PurgeInput(port.handle()), kel::kSerialOk);
        const long long elapsed = MillisecondsSince(start);
        EXPECT_EQ(pty.BytesWaitingAtSlave(), 0);
        // The drain's last read ends on its own 50 ms timeout, not on the
        // port's 1500 ms.
        EXPECT_GE(elapsed, 45);
        EXPECT_LT(elapsed, 750);
        EXPECT_EQ(kel::SetReadTimeout(port.handle(), 150), 150);

        // What comes afterwards is read, and nothing stale before it.
        ASSERT_TRUE(pty.WriteFromFarSide("OK", 2));
        int result = -1;
        const std::vector<unsigned char> fresh = ReadThroughPort(port.handle(), 2, &result);
        EXPECT_EQ(result, kel::kSerialOk);
        EXPECT_EQ(std::string(fresh.begin(), fresh.end()), "OK");
    }
}

TEST_F(SerialPtyPurge, BytesAlreadyTakenFromTheLineAreDiscardedToo) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    kel::SetReadTimeout(port.handle(), 5);
    ASSERT_TRUE(pty.WriteFromFarSide("ABCDEF", 6));
    ASSERT_TRUE(pty.WaitForBytesAtSlave(6, kArrival));
    int result = -1;
    EXPECT_EQ(ReadThroughPort(port.handle(), 1, &result), std::vector<unsigned char> {'A'});
    // The rest left the device with that read, yet it still counts as
    // waiting, and a purge takes it away.
    EXPECT_EQ(pty.BytesWaitingAtSlave(), 0);
    EXPECT_EQ(kel::WaitingBytes(port.handle()), 5u);
    EXPECT_EQ(kel::PurgeInput(port.handle()), kel::kSerialOk);
    EXPECT_EQ(kel::WaitingBytes(port.handle()), 0u);
    ASSERT_TRUE(pty.WriteFromFarSide("Z", 1));
    EXPECT_EQ(ReadThroughPort(port.handle(), 1, &result), std::vector<unsigned char> {'Z'});
}

TEST_F(SerialPtyPurge, NothingWaitingLeavesTheTimeoutUntouched) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    // A timeout of 0 would not be restored by a drain, so it shows whether
    // the purge touched the timeout at all.
    ASSERT_EQ(kel::SetReadTimeout(port.handle(), 0), 100);
    EXPECT_EQ(kel::PurgeInput(port.handle()), kel::kSerialOk);
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 0), 0);
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 7), 0);
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 7), 7);
}

TEST_F(SerialPtyPurge, DrainAfterATimeoutOfZeroKeepsFiftyMilliseconds) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    ASSERT_EQ(kel::SetReadTimeout(port.handle(), 0), 100);
    ASSERT_TRUE(pty.WriteFromFarSide("stale", 5));
    ASSERT_TRUE(pty.WaitForBytesAtSlave(5, kArrival));
    EXPECT_EQ(kel::PurgeInput(port.handle()), kel::kSerialOk);
    EXPECT_EQ(pty.BytesWaitingAtSlave(), 0);
    EXPECT_EQ(kel::SetReadTimeout(port.handle(), 5), 5);
}

// ---- exclusive access ----------------------------------------------------------

using SerialPtyExclusive = SerialPtyTest;

// Whether a user without privileges can open path now. As root, the check
// runs in a child that gives up root first; the device is handed to that
// user for the purpose, as a login would hand over its terminal.
bool OrdinaryUserCanOpen(const std::string& path) {
    if (geteuid() != 0) {
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) return false;
        close(fd);
        return true;
    }
    constexpr uid_t kNobody = 65534;
    if (chown(path.c_str(), kNobody, static_cast<gid_t>(-1)) != 0) return false;
    const pid_t child = fork();
    if (child == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(2);
        const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        _exit(fd >= 0 ? 0 : 1);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child) return false;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(SerialPtyExclusive, SecondOpenWhileHeldIsRefusedEvenForRootAndTheFirstStaysUsable) {
    ScopedPort first;
    ASSERT_EQ(first.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    EXPECT_FALSE(DeviceIsFree(pty.path()));

    for (const std::string& name : {pty.path(), pty.relativeName()}) {
        SCOPED_TRACE(name);
        PortHandle second = nullptr;
        int why = 0;
        EXPECT_EQ(kel::OpenPort(name.c_str(), &k9600_8N1, 8, &second, &why), kel::kSerialOpenFailed);
        EXPECT_EQ(why, EBUSY) << std::strerror(why);
        EXPECT_EQ(kel::ClosePort(second), kel::kSerialIoFailed);
    }

    std::uint32_t written = 0;
    EXPECT_EQ(kel::WritePort(first.handle(), "ping", 4, &written), kel::kSerialOk);
    const std::vector<unsigned char> seen = pty.ReadOnFarSide(4, kArrival);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "ping");

    EXPECT_EQ(first.Close(), kel::kSerialOk);
    EXPECT_TRUE(DeviceIsFree(pty.path()));
    ScopedPort again;
    EXPECT_EQ(again.Open(pty.relativeName(), k9600_8N1), kel::kSerialOk);
}

TEST_F(SerialPtyExclusive, OtherUsersAreKeptOutWhileHeldAndLetInAfterClose) {
    ScopedPort port;
    ASSERT_EQ(port.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    EXPECT_FALSE(OrdinaryUserCanOpen(pty.path()));
    ASSERT_EQ(port.Close(), kel::kSerialOk);
    EXPECT_FALSE(pty.ExclusiveFlag());
    EXPECT_TRUE(OrdinaryUserCanOpen(pty.path()));

    // Also after an open that failed on its line settings.
    PortHandle handle = nullptr;
    const kel::LineParameters refused = Line(9600, 9, 0, 0);
    ASSERT_EQ(kel::OpenPort(pty.path().c_str(), &refused, 8, &handle), kel::kSerialStateRefused);
    EXPECT_FALSE(pty.ExclusiveFlag());
    EXPECT_TRUE(OrdinaryUserCanOpen(pty.path()));
}

// ---- names ---------------------------------------------------------------------

using SerialPtyNames = SerialPtyTest;

TEST_F(SerialPtyNames, NulOpensTheNullDeviceWithoutConfiguration) {
    // Settings no device takes: the null device is never configured.
    const kel::LineParameters unusable = Line(0, 9, 3, 7);
    PortHandle handle = nullptr;
    ASSERT_EQ(kel::OpenPort("NUL", &unusable, 8, &handle), kel::kSerialOk);
    ASSERT_NE(handle, kel::InvalidPortHandle());

    std::uint32_t written = 0;
    EXPECT_EQ(kel::WritePort(handle, "discarded", 9, &written), kel::kSerialOk);
    EXPECT_EQ(written, 9u);
    unsigned char byte = 0;
    std::uint32_t got = 5;
    EXPECT_EQ(kel::ReadPort(handle, &byte, 1, &got), kel::kSerialIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(kel::PurgeInput(handle), kel::kSerialOk);
    EXPECT_EQ(kel::ClosePort(handle), kel::kSerialOk);
    EXPECT_EQ(kel::ClosePort(handle), kel::kSerialIoFailed);
}

TEST_F(SerialPtyNames, MissingDevicesAndNonDevicesAreNotOpened) {
    char fileTemplate[] = "/tmp/kel_pty_test_XXXXXX";
    const int fileFd = mkstemp(fileTemplate);
    ASSERT_GE(fileFd, 0);
    ASSERT_EQ(write(fileFd, "keep", 4), 4);
    close(fileFd);
    const std::string regularFile = fileTemplate;

    struct stat info {};
    ASSERT_NE(stat("/dev/ttyS199", &info), 0) << "this machine has a /dev/ttyS199";
    // Each with the reason the system gives, for the caller to tell a person.
    const struct {
        std::string name;
        int errorNumber;
    } cases[] = {{"nul", ENOENT},          {"COM200", ENOENT},      {"/dev/nonexistent", ENOENT},
                 {"", EINVAL},             {"../etc/passwd", EINVAL}, {"pts/../null", EINVAL},
                 {regularFile, ENOTTY},    {"/tmp", EISDIR},        {"pts", EISDIR}};
    for (const auto& [name, errorNumber] : cases) {
        SCOPED_TRACE(name);
        PortHandle handle = nullptr;
        int why = -1;
        EXPECT_EQ(kel::OpenPort(name.c_str(), &k9600_8N1, 8, &handle, &why), kel::kSerialOpenFailed);
        EXPECT_EQ(why, errorNumber) << std::strerror(why);
        EXPECT_EQ(kel::ClosePort(handle), kel::kSerialIoFailed);
    }
    ASSERT_EQ(stat(regularFile.c_str(), &info), 0);
    EXPECT_EQ(info.st_size, 4);
    std::remove(regularFile.c_str());
}

TEST_F(SerialPtyNames, CharacterDeviceThatIsNoTerminalHasNoLineStateToRead) {
    for (const char* name : {"/dev/null", "/dev/zero"}) {
        SCOPED_TRACE(name);
        PortHandle handle = nullptr;
        EXPECT_EQ(kel::OpenPort(name, &k9600_8N1, 8, &handle), kel::kSerialStateUnreadable);
        EXPECT_EQ(kel::ClosePort(handle), kel::kSerialIoFailed);
    }
}

TEST(SerialPtyDeviceName, PortNamesMapToDevicePaths) {
    struct Case {
        const char* name;
        const char* path;  // nullptr: refused
    };
    const Case cases[] = {
        {"NUL", "/dev/null"},
        {"/dev/x", "/dev/x"},
        {"/dev/pts/7", "/dev/pts/7"},
        {"COM1", "/dev/ttyS0"},
        {"COM2", "/dev/ttyS1"},
        {"COM12", "/dev/ttyS11"},
        {"COM200", "/dev/ttyS199"},
        {"COM0", "/dev/COM0"},
        {"COM", "/dev/COM"},
        {"COMx", "/dev/COMx"},
        {"COM1x", "/dev/COM1x"},
        {"com1", "/dev/com1"},
        {"nul", "/dev/nul"},
        {"ttyUSB0", "/dev/ttyUSB0"},
        {"pts/3", "/dev/pts/3"},
        {"", nullptr},
        {"..", nullptr},
        {"../etc/passwd", nullptr},
        {"pts/../../etc/passwd", nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        char path[kel::kDevicePathSize];
        std::memset(path, 'z', sizeof path);
        const bool mapped = kel::DevicePathForPortName(c.name, path, sizeof path);
        if (c.path == nullptr) {
            EXPECT_FALSE(mapped);
        } else {
            ASSERT_TRUE(mapped);
            EXPECT_STREQ(path, c.path);
        }
    }
    char path[kel::kDevicePathSize];
    EXPECT_FALSE(kel::DevicePathForPortName(nullptr, path, sizeof path));
}

TEST(SerialPtyDeviceName, PathsThatDoNotFitTheBufferAreRefused) {
    char path[kel::kDevicePathSize];
    const std::string fits = "/" + std::string(kel::kDevicePathSize - 2, 'a');  // with its NUL, exactly
    EXPECT_TRUE(kel::DevicePathForPortName(fits.c_str(), path, sizeof path));
    EXPECT_EQ(std::string(path), fits);
    const std::string tooLong = fits + "a";
    EXPECT_FALSE(kel::DevicePathForPortName(tooLong.c_str(), path, sizeof path));
    const std::string relative(kel::kDevicePathSize, 'b');
    EXPECT_FALSE(kel::DevicePathForPortName(relative.c_str(), path, sizeof path));

    // "/dev/ttyS11" is 11 characters and its NUL.
    char small[12];
    EXPECT_TRUE(kel::DevicePathForPortName("COM12", small, sizeof small));
    EXPECT_STREQ(small, "/dev/ttyS11");
    EXPECT_FALSE(kel::DevicePathForPortName("COM12", small, 11));
    EXPECT_FALSE(kel::DevicePathForPortName("NUL", small, 0));
}

// ---- control lines ---------------------------------------------------------------

using SerialPtyHandshake = SerialPtyTest;

TEST_F(SerialPtyHandshake, ControlLineModesAPtyCannotCarryAreIgnored) {
    for (std::uint16_t flags : {0x0000, 0x0008, 0x0001, 0x0101, 0x0202, 0x0303, 0x8000, 0x8001, 0x1000,
                                0x3000, 0x2000, 0xFFFF}) {
        SCOPED_TRACE(flags);
        ScopedPort port;
        ASSERT_EQ(port.Open(pty.path(), k9600_8N1, flags), kel::kSerialOk);
        // Not even RTS handshake (0x1000) holds output back on CTS: a write
        // must never wait for a line the cable may not carry.
        ExpectRawLine(pty.Attributes());
        std::uint32_t written = 0;
        EXPECT_EQ(kel::WritePort(port.handle(), "x", 1, &written), kel::kSerialOk);
        const std::vector<unsigned char> seen = pty.ReadOnFarSide(1, kArrival);
        EXPECT_EQ(std::string(seen.begin(), seen.end()), "x");
    }
}

// ---- handles ---------------------------------------------------------------------

using SerialPtyHandles = SerialPtyTest;

void ExpectRefusedEverywhere(PortHandle handle) {
    unsigned char buffer[4] = {};
    std::uint32_t got = 77;
    std::uint32_t written = 77;
    EXPECT_EQ(kel::ReadPort(handle, buffer, 4, &got), kel::kSerialIoFailed);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(kel::WritePort(handle, "abcd", 4, &written), kel::kSerialIoFailed);
    EXPECT_EQ(written, 77u);  // untouched on failure
    EXPECT_EQ(kel::SetReadTimeout(handle, 20), 0);
    EXPECT_EQ(kel::PurgeInput(handle), kel::kSerialOpenFailed);
    EXPECT_EQ(kel::ClosePort(handle), kel::kSerialIoFailed);
}

TEST_F(SerialPtyHandles, ClosedAndMadeUpHandlesAreRefusedByEveryOperation) {
    PortHandle closed = nullptr;
    ASSERT_EQ(kel::OpenPort(pty.path().c_str(), &k9600_8N1, 8, &closed), kel::kSerialOk);
    ASSERT_EQ(kel::ClosePort(closed), kel::kSerialOk);
    {
        SCOPED_TRACE("closed");
        ExpectRefusedEverywhere(closed);
    }
    int local = 0;
    const std::uintptr_t madeUp[] = {0, 1, 2, 0x40, 0x41, 0xFF, 0x100, 0x101, 0x12345678, 0xFFFFFFFFu,
                                     reinterpret_cast<std::uintptr_t>(&local),
                                     reinterpret_cast<std::uintptr_t>(kel::InvalidPortHandle())};
    for (const std::uintptr_t value : madeUp) {
        SCOPED_TRACE(value);
        ExpectRefusedEverywhere(reinterpret_cast<PortHandle>(value));
    }
}

TEST_F(SerialPtyHandles, StaleHandleDoesNotReachThePortThatReusedItsPlace) {
    PortHandle stale = nullptr;
    ASSERT_EQ(kel::OpenPort(pty.path().c_str(), &k9600_8N1, 8, &stale), kel::kSerialOk);
    ASSERT_EQ(kel::ClosePort(stale), kel::kSerialOk);
    ScopedPort current;
    ASSERT_EQ(current.Open(pty.path(), k9600_8N1), kel::kSerialOk);
    ASSERT_NE(current.handle(), stale);

    EXPECT_EQ(kel::ClosePort(stale), kel::kSerialIoFailed);
    EXPECT_EQ(kel::SetReadTimeout(stale, 3), 0);
    EXPECT_FALSE(DeviceIsFree(pty.path()));
    // The current handle still has its own timeout and line.
    EXPECT_EQ(kel::SetReadTimeout(current.handle(), 100), 100);
    std::uint32_t written = 0;
    EXPECT_EQ(kel::WritePort(current.handle(), "ok", 2, &written), kel::kSerialOk);
    const std::vector<unsigned char> seen = pty.ReadOnFarSide(2, kArrival);
    EXPECT_EQ(std::string(seen.begin(), seen.end()), "ok");
}

}  // namespace
