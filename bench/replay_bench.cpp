// How fast jwgate drains a backlog through a real broker: a store filled
// before the start with MESSAGES values of 200 points (one hour of each
// changing every second, by default), then jwgate started on it with a
// mosquitto of the bench's own, and a subscriber counting what arrives on
// the points' replay topics. Prints the messages replayed per second and
// jwgate's CPU per message at REPLAY_RATE. A report, not a test.
//
// Usage: replay_bench [MESSAGES [REPLAY_RATE]]  (720000; 1000000: as fast as it goes)
#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "jwgate/broker_process.h"
#include "jwgate/gateway_process.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/message_store.h"
#include "tools/jwsim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 200;

// Counts the messages on "bench/+/replay", at QoS 0 so that the broker's
// queue for one client does not bound what it forwards.
class ReplayCounter {
public:
    explicit ReplayCounter(int port) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message*) {
            auto& counter = *static_cast<ReplayCounter*>(self);
            if (counter.count_++ == 0) counter.first_ = Clock::now();
            counter.last_ = Clock::now();
        });
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(client_, nullptr, "bench/+/replay", 0) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "replay_bench: cannot subscribe to the broker\n");
            std::exit(1);
        }
        mosquitto_loop_start(client_);
    }
    ~ReplayCounter() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    long count() const { return count_; }
    // From the first message counted to the last.
    double Seconds() const { return std::chrono::duration<double>(last_.load() - first_.load()).count(); }

private:
    mosquitto* client_ = nullptr;
    std::atomic<long> count_ {0};
    std::atomic<Clock::time_point> first_ {};
    std::atomic<Clock::time_point> last_ {};
};

// The CPU seconds a process used so far.
double CpuSecondsOf(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    long ticks = 0;
    for (int i = 1; i <= 15 && stat >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::atol(field.c_str());  // utime, stime
    }
    return static_cast<double>(ticks) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

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
    ReplayCounter counter(broker.port());
    jwgate::test::GatewayProcess gateway(Configuration(simulator.portName(), broker.port(), store, replayRate));
    // Until every message came, or nothing came for 10 s.
    long seen = -1;
    auto progress = Clock::now();
    while (counter.count() < messages && Clock::now() - progress < std::chrono::seconds(10)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        if (counter.count() != seen) progress = Clock::now(), seen = counter.count();
    }
    const double cpu = CpuSecondsOf(gateway.pid());
    const double seconds = counter.Seconds();
    std::printf("jwgate replay: %ld messages of %d points through mosquitto, replay_rate %ld\n", messages, kPoints,
                replayRate);
    std::printf("replayed %ld of %ld in %.2f s: %.0f messages/s, %.1f us of jwgate's CPU per message\n",
                counter.count(), messages, seconds, seconds > 0 ? counter.count() / seconds : 0.0,
                counter.count() > 0 ? cpu / counter.count() * 1e6 : 0.0);
    return counter.count() >= messages ? 0 : 1;  // and the first reads of its own, made before it connected
}
