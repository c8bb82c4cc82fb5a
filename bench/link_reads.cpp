// Reads per second through the link layer itself, on a port another
// process serves: the C++ side of the Python module's benchmark
// (bench/python_bench.py), which runs it in turns with the same reads
// through kelwnsrp.Line on the same pseudo-terminal.
//   link_reads PORT COUNT   prints "reads/s N"
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "commands/lifecycle.h"
#include "link/read_item.h"
#include "serial/serial_port.h"

constexpr int kWarmUpReads = 200;

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: link_reads PORT COUNT\n");
        return 64;
    }
    const int count = std::atoi(argv[2]);
    // As kelwnsrp.Line opens it by default, with no pause before the reply.
    const kel::LineParameters parameters {9600, 7, 0, 0};
    kel::PortHandle handle = nullptr;
    if (kel::OpenPort(argv[1], &parameters, kel::kOpenHandshakeFlags, &handle) != kel::kSerialOk) {
        std::fprintf(stderr, "link_reads: cannot open %s\n", argv[1]);
        return 74;
    }
    kel::LinkSettings settings;
    settings.baudRate = 9600;
    kel::LinkContext link(settings);
    kel::AttachPort(link, handle, 100);
    const kel::Item item {1, kel::kAreaMA, 0100, 2};
    // A fresh process: the first reads warm it up, untimed, as the Python side's do.
    for (int i = 0; i < kWarmUpReads; ++i) {
        std::int32_t value = 0;
        bool delivered = false;
        kel::ReadItem(link, item, &value, &delivered);
    }
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        std::int32_t value = 0;
        bool delivered = false;
        if (kel::ReadItem(link, item, &value, &delivered) != kel::kLinkOk) {
            std::fprintf(stderr, "link_reads: read %d failed\n", i);
            return 1;
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    kel::ClosePort(handle);
    std::printf("reads/s %.1f\n", count / seconds);
    return 0;
}
