// What one exchange costs, printed in one run: register reads and writes
// through KelMain against the simulator on a pseudo-terminal, and for
// comparison a libmodbus RTU client and server and a bare round trip, each
// over a pseudo-terminal pair and all three measured in turns; reads over
// lines paced at 9600 and 19200 baud against their wire time; and the heap
// allocations and system calls of one exchange. A report, not a test: the
// figures depend on the machine.
#include <dlfcn.h>
#include <fcntl.h>
#include <modbus.h>
#include <poll.h>
#include <pty.h>
#include <stdarg.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kelwnsrp.h"
#include "tools/jwsim/simulator.h"

namespace {

// Only the thread being measured counts: the simulator's and the modbus
// server's threads run in the same process.
thread_local bool t_counting = false;
std::atomic<long> g_allocations {0};
std::atomic<long> g_systemCalls {0};

void CountCall() {
    if (t_counting) g_systemCalls.fetch_add(1, std::memory_order_relaxed);
}

template <typename Function>
Function Next(const char* name) {
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

}  // namespace

void* operator new(std::size_t size) {
    if (t_counting) g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

// The system calls an exchange can make, counted on their way to the C library.
extern "C" {
ssize_t read(int fd, void* buffer, size_t count) {
    CountCall();
    static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
    return next(fd, buffer, count);
}
ssize_t write(int fd, const void* buffer, size_t count) {
    CountCall();
    static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
    return next(fd, buffer, count);
}
int poll(struct pollfd* fds, nfds_t count, int timeout) {
    CountCall();
    static const auto next = Next<int (*)(struct pollfd*, nfds_t, int)>("poll");
    return next(fds, count, timeout);
}
int select(int n, fd_set* in, fd_set* out, fd_set* error, struct timeval* timeout) {
    CountCall();
    static const auto next = Next<int (*)(int, fd_set*, fd_set*, fd_set*, struct timeval*)>("select");
    return next(n, in, out, error, timeout);
}
int ioctl(int fd, unsigned long request, ...) {
    CountCall();
    va_list args;
    va_start(args, request);
    void* argument = va_arg(args, void*);
    va_end(args);
    static const auto next = Next<int (*)(int, unsigned long, void*)>("ioctl");
    return next(fd, request, argument);
}
int nanosleep(const struct timespec* wanted, struct timespec* left) {
    CountCall();
    static const auto next = Next<int (*)(const struct timespec*, struct timespec*)>("nanosleep");
    return next(wanted, left);
}
}

namespace {

using Clock = std::chrono::steady_clock;

double ThreadCpuSeconds() {
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct Figures {
    double perSecond = 0;
    double cpuMicroseconds = 0;  // host thread, per exchange
    double secondsEach = 0;
    double allocations = 0;      // per exchange
    double systemCalls = 0;      // per exchange
};

// Runs exchange count times on this thread and measures it.
template <typename Exchange>
Figures Measure(int count, Exchange exchange) {
    g_allocations = 0;
    g_systemCalls = 0;
    const double cpu = ThreadCpuSeconds();
    const auto start = Clock::now();
    t_counting = true;
    for (int i = 0; i < count; ++i) {
        if (!exchange(i)) {
            t_counting = false;
            std::fprintf(stderr, "link_bench: exchange %d failed\n", i);
            std::exit(1);
        }
    }
    t_counting = false;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return {count / seconds, (ThreadCpuSeconds() - cpu) * 1e6 / count, seconds / count,
            static_cast<double>(g_allocations) / count, static_cast<double>(g_systemCalls) / count};
}

// A host with one driver instance open on the simulator, the reply pause
// set through kelwnSRP.int in the working directory.
class DriverHost {
public:
    DriverHost(const kel::jwsim::Simulator& simulator, int waitingTime) {
        std::FILE* file = std::fopen("kelwnSRP.int", "w");
        if (file == nullptr) std::abort();
        std::fprintf(file, "WAITINGTIME %d\n", waitingTime);
        std::fclose(file);
        OpenRequest open {};
        std::snprintf(open.portName, sizeof open.portName, "%s", simulator.portName().c_str());
        open.enable = 1;
        open.LinkTimeout = 100;
        open.line = {9600, 8, 0, 0};
        if (Call(KEL_CMD_OPEN, &open) != KEL_OK) std::abort();
        GateCheckRequest check {"01MA0100", 0, KEL_VALUE_ANALOG16, 1, 0, {}};
        if (Call(KEL_CMD_CHECK_GATE, &check) != KEL_OK) std::abort();
        gate_ = check.address;
    }
    ~DriverHost() { Call(KEL_CMD_CLOSE, nullptr); }

    bool Read() {
        std::uint32_t cell = 0;
        GateRequest read {"01MA0100", 0, gate_, KEL_VALUE_ANALOG16, 1, 0, &cell};
        return Call(KEL_CMD_READ_GATE, &read) == KEL_OK;
    }
    bool Write(int value) {
        std::uint32_t cell = static_cast<std::uint32_t>(value & 0xFFFF) << 16;
        GateRequest write {"01MA0100", 0, gate_, KEL_VALUE_ANALOG16, 1, 0, &cell};
        return Call(KEL_CMD_WRITE_GATE, &write) == KEL_OK;
    }

private:
    std::int32_t Call(std::int32_t command, void* block) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }

    DriverState state_ {};
    GateAddress gate_ {};
};

// A libmodbus RTU server answering on the master side of a pseudo-terminal
// pair, and a client on its slave.
class ModbusPair {
public:
    ModbusPair() {
        char path[64];
        if (openpty(&master_, &keep_, path, nullptr, nullptr) != 0) std::abort();
        server_ = modbus_new_rtu("/dev/null", 115200, 'N', 8, 1);
        modbus_set_slave(server_, 1);
        modbus_set_socket(server_, master_);
        mapping_ = modbus_mapping_new(0, 0, 16, 0);
        thread_ = std::thread([this] { Serve(); });
        client_ = modbus_new_rtu(path, 115200, 'N', 8, 1);
        modbus_set_slave(client_, 1);
        if (modbus_connect(client_) != 0) std::abort();
    }
    ~ModbusPair() {
        stop_ = true;
        modbus_close(client_);
        modbus_free(client_);
        thread_.join();
        modbus_mapping_free(mapping_);
        modbus_free(server_);
        close(keep_);
        close(master_);
    }
    bool Read() {
        std::uint16_t value = 0;
        return modbus_read_registers(client_, 0, 1, &value) == 1;
    }
    bool Write(int value) { return modbus_write_register(client_, 0, static_cast<std::uint16_t>(value)) == 1; }

private:
    void Serve() {
        std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
        modbus_set_indication_timeout(server_, 0, 100000);
        while (!stop_) {
            const int length = modbus_receive(server_, query);
            if (length > 0) modbus_reply(server_, query, length, mapping_);
        }
    }

    int master_ = -1;
    int keep_ = -1;
    modbus_t* server_ = nullptr;
    modbus_t* client_ = nullptr;
    modbus_mapping_t* mapping_ = nullptr;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

// The floor under any driver on this machine: the same four system calls a
// read makes (purge check, write, poll, read), with a thread on the other
// end answering a fixed reply and no protocol work on either side.
// Given a simulator's device, the same loop sends the read to the simulator
// instead: what is left between it and KelMain is the driver's own work, and
// what is between it and the fixed reply is the simulator's.
class BareRoundTrip {
public:
    BareRoundTrip() {
        if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) std::abort();
        for (const int fd : {master_, slave_}) MakeRaw(fd);
        thread_ = std::thread([this] { Echo(); });
    }
    explicit BareRoundTrip(const std::string& simulatorDevice) {
        slave_ = open(simulatorDevice.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (slave_ < 0) std::abort();
        MakeRaw(slave_);
    }
    ~BareRoundTrip() {
        close(slave_);  // the echo thread sees the hang-up and ends
        if (thread_.joinable()) thread_.join();
        if (master_ >= 0) close(master_);
    }
    bool Read() {
        int waiting = 0;
        ioctl(slave_, FIONREAD, &waiting);
        if (write(slave_, kRequest, sizeof kRequest - 1) != sizeof kRequest - 1) return false;
        char reply[1024];
        for (std::size_t got = 0; got < sizeof kReply - 1;) {
            pollfd ready {slave_, POLLIN, 0};
            if (poll(&ready, 1, 1000) != 1) return false;
            const ssize_t n = read(slave_, reply, sizeof reply);
            if (n <= 0) return false;
            got += static_cast<std::size_t>(n);
        }
        return true;
    }

private:
    static constexpr char kRequest[] = "::01?0MRGA0100A010145\r";
    static constexpr char kReply[] = "::01#0MRGA0100A01010000A1\r";

    static void MakeRaw(int fd) {
        termios raw {};
        tcgetattr(fd, &raw);
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
    }

    void Echo() {
        char request[256];
        for (;;) {
            pollfd ready {master_, POLLIN, 0};
            if (poll(&ready, 1, -1) != 1 || (ready.revents & POLLIN) == 0) return;
            if (read(master_, request, sizeof request) <= 0) return;
            if (write(master_, kReply, sizeof kReply - 1) < 0) return;
        }
    }

    int master_ = -1;
    int slave_ = -1;
    std::thread thread_;
};

kel::jwsim::Simulator& Started(kel::jwsim::Simulator& simulator) {
    if (!simulator.Start()) {
        std::fprintf(stderr, "link_bench: %s\n", simulator.error().c_str());
        std::exit(1);
    }
    return simulator;
}

void PrintRow(const char* what, const Figures& f) {
    std::printf("  %-34s %9.0f /s %9.1f us CPU\n", what, f.perSecond, f.cpuMicroseconds);
}

constexpr int kRounds = 10;

struct Contender {
    const char* name;
    std::function<bool(int)> exchange;
    std::vector<Figures> rounds;
};

void MeasureInTurns(int count, std::vector<Contender>& contenders) {
    for (Contender& contender : contenders) Measure(std::max(count / 20, 1), contender.exchange);  // warm-up
    for (int round = 0; round < kRounds; ++round) {
        for (Contender& contender : contenders) {
            contender.rounds.push_back(Measure(std::max(count / kRounds, 1), contender.exchange));
        }
    }
}

// The round of median CPU; its rate and counts go with it.
Figures Median(std::vector<Figures> rounds) {
    std::sort(rounds.begin(), rounds.end(),
              [](const Figures& a, const Figures& b) { return a.cpuMicroseconds < b.cpuMicroseconds; });
    return rounds[rounds.size() / 2];
}

// The median round of each kind of exchange, for the sections after the first.
struct SideBySide {
    Figures ours[2];    // reads, writes
    Figures theirs[2];  // libmodbus reads, writes
};

// 1. Ours, libmodbus and the bare round trip side by side, in turns: each
// round runs every one of them for a share of the exchanges, so that a cold
// start, a change of clock speed or a neighbour on the machine falls on all
// of them alike, and the median round of each is kept. Measured one after
// another, the first comes out up to a fifth dearer.
SideBySide MeasureSideBySide(kel::jwsim::Simulator& simulator, int count) {
    std::printf("1. KelMain against jwsim, libmodbus RTU client and server, and a bare round trip,\n"
                "   each on a pty pair (16-bit register; %d exchanges each in %d rounds, in turns)\n",
                count, kRounds);
    SideBySide figures;
    Figures floor {};
    Figures floorToSimulator {};
    {
        DriverHost host(simulator, 0);
        ModbusPair modbus;
        BareRoundTrip bare;
        kel::jwsim::Simulator bareSimulator;
        BareRoundTrip bareToSimulator(Started(bareSimulator).devicePath());
        std::vector<Contender> contenders = {
            {"reads (WAITINGTIME 0)", [&](int) { return host.Read(); }, {}},
            {"writes (WAITINGTIME 0)", [&](int i) { return host.Write(i); }, {}},
            {"libmodbus read holding register", [&](int) { return modbus.Read(); }, {}},
            {"libmodbus write single register", [&](int i) { return modbus.Write(i); }, {}},
            {"bare round trip (no protocol)", [&](int) { return bare.Read(); }, {}},
            {"bare round trip to jwsim", [&](int) { return bareToSimulator.Read(); }, {}},
        };
        MeasureInTurns(count, contenders);
        for (const Contender& contender : contenders) PrintRow(contender.name, Median(contender.rounds));
        figures.ours[0] = Median(contenders[0].rounds);
        figures.ours[1] = Median(contenders[1].rounds);
        figures.theirs[0] = Median(contenders[2].rounds);
        figures.theirs[1] = Median(contenders[3].rounds);
        floor = Median(contenders[4].rounds);
        floorToSimulator = Median(contenders[5].rounds);
    }
    const Figures* ours = figures.ours;
    const Figures* theirs = figures.theirs;
    std::printf("  ours / libmodbus, exchanges per second: reads %.2f, writes %.2f\n",
                ours[0].perSecond / theirs[0].perSecond, ours[1].perSecond / theirs[1].perSecond);
    std::printf("  ours / libmodbus, host CPU per exchange: reads %.2f, writes %.2f\n",
                ours[0].cpuMicroseconds / theirs[0].cpuMicroseconds,
                ours[1].cpuMicroseconds / theirs[1].cpuMicroseconds);
    std::printf("  ours / bare round trip, host CPU per read: %.2f\n", ours[0].cpuMicroseconds / floor.cpuMicroseconds);
    std::printf("  ours / bare round trip to jwsim, host CPU per read: %.2f\n",
                ours[0].cpuMicroseconds / floorToSimulator.cpuMicroseconds);
    return figures;
}

// 2. The reply pause most configurations keep.
void MeasureReplyPause(kel::jwsim::Simulator& simulator) {
    std::printf("\n2. KelMain with the default reply pause (WAITINGTIME 50; 20 exchanges)\n");
    DriverHost host(simulator, 50);
    PrintRow("reads (WAITINGTIME 50)", Measure(20, [&](int) { return host.Read(); }));
    PrintRow("writes (WAITINGTIME 50)", Measure(20, [&](int i) { return host.Write(i); }));
}

// 3. Reads on paced lines against their wire time.
void MeasurePacedLines() {
    std::printf("\n3. Paced lines: time per register read / its wire time (48 characters x 10 bits)\n");
    for (const std::uint32_t baud : {9600u, 19200u}) {
        kel::jwsim::Simulator paced({.baud = baud});
        Started(paced);
        const double wire = 48.0 * 10.0 / baud;
        for (const int wait : {0, 50}) {
            DriverHost host(paced, wait);
            const Figures reads = Measure(40, [&](int) { return host.Read(); });
            std::printf("  %5u baud, WAITINGTIME %2d: %6.2f ms a read, wire %5.2f ms, ratio %.3f\n", baud, wait,
                        reads.secondsEach * 1e3, wire * 1e3, reads.secondsEach / wire);
        }
    }
}

// 4. What one exchange asks of the host's thread, from the first section's rounds.
void PrintPerExchange(const SideBySide& figures) {
    std::printf("\n4. Per exchange on the host's thread (WAITINGTIME 0)\n");
    std::printf("  %-22s %8s %8s\n", "", "allocs", "syscalls");
    std::printf("  %-22s %8.2f %8.1f\n", "KelMain read", figures.ours[0].allocations, figures.ours[0].systemCalls);
    std::printf("  %-22s %8.2f %8.1f\n", "KelMain write", figures.ours[1].allocations, figures.ours[1].systemCalls);
    std::printf("  %-22s %8.2f %8.1f\n", "libmodbus read", figures.theirs[0].allocations,
                figures.theirs[0].systemCalls);
    std::printf("  %-22s %8.2f %8.1f\n", "libmodbus write", figures.theirs[1].allocations,
                figures.theirs[1].systemCalls);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 2000;
    char scratch[] = "/tmp/kel-bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) return 1;
    kel::jwsim::Simulator simulator;
    Started(simulator);
    const SideBySide figures = MeasureSideBySide(simulator, count);
    MeasureReplyPause(simulator);
    MeasurePacedLines();
    PrintPerExchange(figures);
    std::remove("kelwnSRP.int");
    rmdir(scratch);
    return 0;
}
