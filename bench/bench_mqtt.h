// What the MQTT benches share: a subscriber that counts what arrives on a
// topic filter, and the CPU time a process (a jwgate) has used.
#pragma once

#include <mosquitto.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

namespace bench {

// Subscribed at QoS 0, so that the broker's queue for one client does not
// bound what it forwards.
class MessageCounter {
public:
    using Clock = std::chrono::steady_clock;

    MessageCounter(int port, const char* filter, const char* program) {
        mosquitto_lib_init();
        client_ = mosquitto_new(nullptr, true, this);
        mosquitto_message_callback_set(client_, [](mosquitto*, void* self, const mosquitto_message*) {
            auto& counter = *static_cast<MessageCounter*>(self);
            if (counter.count_++ == 0) counter.first_ = Clock::now();
            counter.last_ = Clock::now();
        });
        if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS ||
            mosquitto_subscribe(client_, nullptr, filter, 0) != MOSQ_ERR_SUCCESS) {
            std::fprintf(stderr, "%s: cannot subscribe to the broker\n", program);
            std::exit(1);
        }
        mosquitto_loop_start(client_);
    }
    ~MessageCounter() {
        mosquitto_disconnect(client_);
        mosquitto_loop_stop(client_, true);
        mosquitto_destroy(client_);
    }
    MessageCounter(const MessageCounter&) = delete;
    MessageCounter& operator=(const MessageCounter&) = delete;

    long Count() const { return count_; }
    // From the first message counted to the last.
    double Seconds() const { return std::chrono::duration<double>(last_.load() - first_.load()).count(); }

private:
    mosquitto* client_ = nullptr;
    std::atomic<long> count_ {0};
    std::atomic<Clock::time_point> first_ {};
    std::atomic<Clock::time_point> last_ {};
};

// User plus system CPU seconds of a process so far.
inline double CpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14 || i == 15) ticks += std::stod(field);  // utime, stime
    }
    return ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
