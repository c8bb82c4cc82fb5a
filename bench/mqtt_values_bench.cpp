// What publishing on change with a deadband saves: 200 points read every
// second, 10 of which change every second, published through a mosquitto
// broker of the bench's own. For each way of publishing it prints the MQTT
// messages per minute on the points' topics and the CPU the gateway used.
// A report, not a test: the figures depend on the machine.
//
// Usage: mqtt_values_bench [SECONDS [BASELINE_JWGATE]]
//   SECONDS (default 60) measured per run, after a warm-up of 5 s;
//   BASELINE_JWGATE another jwgate binary (an earlier build, which knows no
//   publish or deadband keys) measured with its own defaults.
#include <mosquitto.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_mqtt.h"
#include "jwgate/broker_process.h"
#include "tools/jwsim/simulator.h"

namespace {

constexpr int kPoints = 200;
constexpr int kChanging = 10;
constexpr auto kWarmUp = std::chrono::seconds(5);

std::string Configuration(const std::string& port, int broker, const std::string& pointKeys) {
    std::string text = "[line]\nport = \"" + port + "\"\nbaud = 38400\nlink_timeout_ms = 200\nmax_run_bytes = 200\n"
                       "[mqtt]\nport = " + std::to_string(broker) + "\nstatus_topic = \"bench/status\"\n";
    for (int i = 0; i < kPoints; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", 0100 + 2 * i);
        text += "[[point]]\nname = \"p" + std::to_string(i) + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\ninterval_ms = 1000\nmqtt_topic = \"bench/p/" + std::to_string(i) + "\"\n" +
                pointKeys;
    }
    return text;
}

struct Figures {
    double messagesPerMinute;
    double cpuPercent;
};

Figures Run(const std::string& binary, const std::string& pointKeys, int seconds, int broker) {
    kel::jwsim::Simulator simulator({.stations = {1}, .baud = 38400});
    if (!simulator.Start()) {
        std::fprintf(stderr, "mqtt_values_bench: %s\n", simulator.error().c_str());
        std::exit(1);
    }
    char directory[] = "/tmp/mqtt_values_bench.XXXXXX";
    if (mkdtemp(directory) == nullptr) std::exit(1);
    const std::string path = std::string(directory) + "/bench.toml";
    std::ofstream(path) << Configuration(simulator.portName(), broker, pointKeys);
    bench::MessageCounter counter(broker, "bench/p/#", "mqtt_values_bench");
    const pid_t gateway = fork();
    if (gateway == 0) {
        std::freopen("/dev/null", "w", stderr);
        execl(binary.c_str(), binary.c_str(), "--config", path.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    // The same 10 points drift every second by 0.2, 0.5, 0.4 and 0.3 of a
    // unit in turn (raw in tenths); the other 190 stay.
    const int drift[] = {0, 2, 7, 3};
    long before = 0;
    double cpuBefore = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int second = 0;; ++second) {
        simulator.Edit(1, [&](kel::jwsim::Controller& c) {
            for (int i = 0; i < kChanging; ++i) {
                const int raw = 1000 + drift[second % 4];
                c.SetRegisters('A', 0100 + 2 * i * 20, {static_cast<std::uint8_t>(raw), static_cast<std::uint8_t>(raw >> 8)});
            }
        });
        std::this_thread::sleep_until(start + std::chrono::seconds(second + 1));
        if (second + 1 == kWarmUp.count()) {
            before = counter.Count();
            cpuBefore = bench::CpuSeconds(gateway);
        }
        if (second + 1 == kWarmUp.count() + seconds) break;
    }
    const Figures figures {(counter.Count() - before) * 60.0 / seconds,
                           (bench::CpuSeconds(gateway) - cpuBefore) * 100.0 / seconds};
    kill(gateway, SIGTERM);
    waitpid(gateway, nullptr, 0);
    std::remove(path.c_str());
    rmdir(directory);
    return figures;
}

}  // namespace

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 60;
    if (seconds < 1 || argc > 3) {
        std::fprintf(stderr, "usage: mqtt_values_bench [SECONDS [BASELINE_JWGATE]]\n");
        return 64;
    }
    mosquitto_lib_init();
    jwgate::test::BrokerProcess broker(jwgate::test::BrokerProcess::FreePort());
    if (!broker.Start()) {
        std::fprintf(stderr, "mqtt_values_bench: %s\n", broker.error().c_str());
        return 1;
    }
    std::printf("%d u16 points read every 1 s, %d of them changing every second; %d s measured per run\n", kPoints,
                kChanging, seconds);
    struct Case {
        const char* name;
        std::string binary;
        std::string keys;
    };
    std::vector<Case> cases = {
        {"change, deadband 0.5 (scale 0.1)", JWGATE_BINARY, "scale = 0.1\ndeadband = 0.5\n"},
        {"change, deadband 0 (scale 0.1)", JWGATE_BINARY, "scale = 0.1\n"},
        {"every_read (scale 0.1)", JWGATE_BINARY, "scale = 0.1\npublish = \"every_read\"\n"},
    };
    if (argc > 2) cases.push_back({"baseline build (raw, on change)", argv[2], ""});
    std::printf("%-36s %16s %12s\n", "publishing", "messages/min", "gateway CPU");
    for (const Case& c : cases) {
        const Figures figures = Run(c.binary, c.keys, seconds, broker.port());
        std::printf("%-36s %16.0f %11.2f%%\n", c.name, figures.messagesPerMinute, figures.cpuPercent);
        std::fflush(stdout);
    }
    mosquitto_lib_cleanup();
    return 0;
}
