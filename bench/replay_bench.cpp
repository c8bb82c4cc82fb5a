// How fast jwgate drains a backlog through a real broker: a store filled
// before the start with MESSAGES values of 200 points (one hour of each
// changing every second, by default), then jwgate started on it with a
// mosquitto of the bench's own, and a subscriber counting what arrives on
// the points' replay topics. Prints the messages replayed per second and
// jwgate's CPU per message at REPLAY_RATE. A report, not a test.
//
// Usage: replay_bench [MESSAGES [REPLAY_RATE]]  (720000; 1000000: as fast as it goes)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/bench_mqtt.h"
#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 200;

void FillStore(const std::string& path, long messages) {
    jwgate::StoreConfig config;
    config.enabled = true;
    config.path = path;
    config.maxMb = 4096;
    std::string error;
    auto store = jwgate::MessageStore::Open(config, 100'000'000, &error);
    if (!store) {
        std::fprintf(stderr, "replay_bench: %s\n", error.c_str());
        std::exit(1);
    }
    for (long n = 0; n < messages; ++n) {
        store->Append(jwgate::StoredReading {"p" + std::to_string(n % kPoints), static_cast<double>(n % 1000),
                                             jwgate::Quality::kGood, 1'765'000'000'000 + n / kPoints * 1000});
    }
}

std::string Configuration(const std::string& port, int broker, const std::string& store, long replayRate) {
    std::string text = "[line]\nport = \"" + port + "\"\nbaud = 115200\n[mqtt]\nport = " + std::to_string(broker) +
                       "\nstatus_topic = \"bench/status\"\n[store]\npath = \"" + store +
                       "\"\nmax_mb = 4096\nreplay_rate = " + std::to_string(replayRate) + "\n";
    for (int i = 0; i < kPoints; ++i) {
        char address[16];
        std::snprintf(address, sizeof address, "01MA%04o", static_cast<unsigned>(0100 + 2 * i));
        text += "[[point]]\nname = \"p" + std::to_string(i) + "\"\naddress = \"" + address +
                "\"\ntype = \"u16\"\nmqtt_topic = \"bench/p" + std::to_string(i) + "\"\n";
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const long messages = argc > 1 ? std::atol(argv[1]) : 720000;
    const long replayRate = argc > 2 ? std::atol(argv[2]) : 1000000;
    if (messages <= 0 || replayRate <= 0 || replayRate > 1000000) {
        std::fprintf(stderr, "usage: replay_bench [MESSAGES [REPLAY_RATE]]\n");
        return 64;
    }
    jwgate::SetLogLevel(jwgate::LogLevel::kWarning);
    jwgate::test::ScratchDirectory directory;
    const std::string store = directory.path() + "/line.db";
    FillStore(store, messages);
    jwgate::test::BrokerProcess broker(jwgate::test::BrokerProcess::FreePort());
    kel::jwsim::Simulator simulator;
    if (!broker.Start() || !simulator.Start()) {
        std::fprintf(stderr, "replay_bench: %s\n", broker.error().c_str());
        return 1;
    }
    bench::MessageCounter counter(broker.port(), "bench/+/replay", "replay_bench");
    jwgate::test::GatewayProcess gateway(Configuration(simulator.portName(), broker.port(), store, replayRate));
    // Until every message came, or nothing came for 10 s.
    long seen = -1;
    auto progress = Clock::now();
    while (counter.Count() < messages && Clock::now() - progress < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (counter.Count() != seen) progress = Clock::now(), seen = counter.Count();
    }
    const double cpu = bench::CpuSeconds(gateway.pid());
    const double seconds = counter.Seconds();
    std::printf("jwgate replay: %ld messages of %d points through mosquitto, replay_rate %ld\n", messages, kPoints,
                replayRate);
    std::printf("replayed %ld of %ld in %.2f s: %.0f messages/s, %.1f us of jwgate's CPU per message\n",
                counter.Count(), messages, seconds, seconds > 0 ? counter.Count() / seconds : 0.0,
                counter.Count() > 0 ? cpu / counter.Count() * 1e6 : 0.0);
    return counter.Count() >= messages ? 0 : 1;  // and the first reads of its own, made before it connected
}
