// Figures for the serial port layer on a pseudo-terminal: what an open, a
// frame exchange and a purge of waiting input cost, and how many heap
// allocations each makes (the layer is meant to make none after the open).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "serial/serial_port.h"

namespace {
std::atomic<long> g_allocations {0};
}  // namespace

void* operator new(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

struct Pty {
    int master = -1;
    int slave = -1;
    std::string name;
    Pty() {
        char path[64];
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) std::abort();
        name = path;
        // The layer opens the device itself; our slave descriptor only keeps
        // the pair alive.
    }
    ~Pty() {
        close(slave);
        close(master);
    }
};

const kel::LineParameters kLine {9600, 8, 0, 0};

void BM_OpenClose(benchmark::State& state) {
    Pty pty;
    const long before = g_allocations.load();
    for (auto _ : state) {
        kel::PortHandle port = nullptr;
        if (kel::OpenPort(pty.name.c_str(), &kLine, 8, &port) != kel::kSerialOk) std::abort();
        kel::ClosePort(port);
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_OpenClose);

// A 20-byte request out, a 24-byte reply back: the shape of one read.
void BM_FrameRoundTrip(benchmark::State& state) {
    Pty pty;
    kel::PortHandle port = nullptr;
    if (kel::OpenPort(pty.name.c_str(), &kLine, 8, &port) != kel::kSerialOk) std::abort();
    const char request[] = "::01?0MRGA0100A0101X";
    const char reply[] = "::01#0MRGA0100A01013412";
    char buffer[64];
    const long before = g_allocations.load();
    for (auto _ : state) {
        kel::PurgeInput(port);
        std::uint32_t n = 0;
        kel::WritePort(port, request, sizeof request - 1, &n);
        if (read(pty.master, buffer, sizeof buffer) <= 0) std::abort();
        if (write(pty.master, reply, sizeof reply - 1) <= 0) std::abort();
        if (kel::ReadPort(port, buffer, sizeof reply - 1, &n) != kel::kSerialOk) std::abort();
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
    kel::ClosePort(port);
}
BENCHMARK(BM_FrameRoundTrip);

void BM_PurgeWaitingInput(benchmark::State& state) {
    Pty pty;
    kel::PortHandle port = nullptr;
    if (kel::OpenPort(pty.name.c_str(), &kLine, 8, &port) != kel::kSerialOk) std::abort();
    const std::string junk(static_cast<std::size_t>(state.range(0)), 'x');
    const long before = g_allocations.load();
    for (auto _ : state) {
        state.PauseTiming();
        if (write(pty.master, junk.data(), junk.size()) != static_cast<ssize_t>(junk.size())) std::abort();
        std::uint32_t waiting = 0;
        // Let the bytes reach the slave's queue before timing the purge.
        while (waiting < junk.size()) waiting = kel::WaitingBytes(port);
        state.ResumeTiming();
        kel::PurgeInput(port);
    }
    state.counters["allocs/op"] = benchmark::Counter(
        static_cast<double>(g_allocations.load() - before), benchmark::Counter::kAvgIterations);
    kel::ClosePort(port);
}
// 512 and its multiples end with one drain read that waits the 50 ms purge
// timeout; other counts end on a short read.
BENCHMARK(BM_PurgeWaitingInput)->Arg(100)->Arg(1000)->Arg(512)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
