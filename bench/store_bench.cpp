// What jwgate's message store costs with 200 points changing every second:
// messages per second appended and committed, replayed (Unsent and
// Acknowledge, as the MQTT bridge replays a backlog), CPU per message, bytes
// per message in the file, and the time to drain one hour of that flow. A
// report, not a test: the figures depend on the machine and its disk.
// usage: store_bench [MESSAGES [DIRECTORY]]  (720000, one hour; /var/tmp)
#include <stdlib.h>
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/message_store.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPoints = 200;
constexpr double kFlowPerSecond = kPoints;  // each point changes every second
constexpr double kHourOfFlow = kFlowPerSecond * 3600;

double CpuSeconds() {
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// Wall and CPU seconds from its start.
struct Stopwatch {
    Clock::time_point wall = Clock::now();
    double cpu = CpuSeconds();
    double Wall() const { return std::chrono::duration<double>(Clock::now() - wall).count(); }
    double Cpu() const { return CpuSeconds() - cpu; }
};

void PrintRate(const char* what, long messages, const Stopwatch& watch) {
    double wall = watch.Wall();
    std::printf("%-34s %9.0f messages/s  (%ld in %.2f s, %.1f us CPU per message)\n", what, messages / wall, messages,
                wall, watch.Cpu() / messages * 1e6);
}

std::unique_ptr<jwgate::MessageStore> OpenStore(const jwgate::StoreConfig& config) {
    std::string error;
    // A tail long enough for the whole burst: none dropped while the commits catch up.
    auto store = jwgate::MessageStore::Open(config, 100'000'000, &error);
    if (store == nullptr) {
        std::fprintf(stderr, "store_bench: %s\n", error.c_str());
        std::exit(1);
    }
    return store;
}

// One reading of each point a second, from a fixed start, as the scan makes them.
void Produce(jwgate::MessageStore& store, long messages) {
    for (long n = 0; n < messages; ++n) {
        std::int64_t second = n / kPoints;
        store.Append(jwgate::StoredReading {"line1/station01/point" + std::to_string(n % kPoints),
                                            static_cast<double>(n % 1000) * 0.25, jwgate::Quality::kGood,
                                            1'765'000'000'000 + second * 1000});
    }
}

// As the bridge replays: a page of the backlog, each one sent and acknowledged.
long Replay(jwgate::MessageStore& store) {
    long replayed = 0;
    std::uint64_t cursor = 0;
    for (auto page = store.Unsent(0, 500); !page.empty(); page = store.Unsent(cursor, 500)) {
        for (const auto& message : page) store.Acknowledge(message.id);
        replayed += static_cast<long>(page.size());
        cursor = page.back().id;
    }
    return replayed;
}

}  // namespace

int main(int argc, char** argv) {
    long messages = argc > 1 ? std::atol(argv[1]) : static_cast<long>(kHourOfFlow);
    std::string parent = argc > 2 ? argv[2] : "/var/tmp";
    std::string pattern = parent + "/store-bench-XXXXXX";
    if (messages <= 0 || mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "usage: store_bench [MESSAGES [DIRECTORY]]\n");
        return 64;
    }
    jwgate::SetLogLevel(jwgate::LogLevel::kWarning);
    jwgate::StoreConfig config;
    config.enabled = true;
    config.path = pattern + "/bench.db";
    config.maxMb = 4096;
    std::printf("jwgate store: %d points changing every second, sync_ms %d, synchronous=FULL, in %s\n", kPoints,
                config.syncMs, parent.c_str());

    Stopwatch appending;
    auto store = OpenStore(config);
    Produce(*store, messages);
    auto dropped = store->Statistics().dropped;
    store.reset();  // commits what is left
    PrintRate("append + commit", messages, appending);

    Stopwatch opening;
    store = OpenStore(config);
    auto backlog = store->Statistics();
    std::printf("%-34s %9.2f s for a backlog of %llu (%llu dropped)\n", "open", opening.Wall(),
                static_cast<unsigned long long>(backlog.backlog), static_cast<unsigned long long>(dropped));
    std::printf("%-34s %9.1f bytes per message (%.1f MB)\n", "file, unsent", static_cast<double>(backlog.bytes) / messages,
                backlog.bytes / 1048576.0);

    Stopwatch replaying;
    long replayed = Replay(*store);
    store.reset();  // commits the last acknowledgements
    double replayRate = replayed / replaying.Wall();
    PrintRate("replay (Unsent + Acknowledge)", replayed, replaying);

    store = OpenStore(config);
    auto kept = store->Statistics();
    std::printf("%-34s %9.1f bytes per message, backlog %llu\n", "file, sent (history)",
                static_cast<double>(kept.bytes) / messages, static_cast<unsigned long long>(kept.backlog));
    store.reset();

    std::printf("drain of one hour (%.0f messages)\n", kHourOfFlow);
    std::printf("  as fast as the store allows     %9.1f s\n", kHourOfFlow / replayRate);
    std::printf("  at replay_rate 2000             %9.1f s, %.1f s while the live 200/s go on\n",
                kHourOfFlow / 2000, kHourOfFlow / (2000 - kFlowPerSecond));
    std::filesystem::remove_all(pattern);
    return 0;
}
