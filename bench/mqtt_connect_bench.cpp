// How long the gateway's MQTT link takes to connect to a local mosquitto
// broker, plain and over TLS (CA file only, and with a client certificate;
// the broker with and without Nagle's algorithm):
// from Start to the "connected" line, which the link logs once the broker's
// CONNACK came. Prints the median, least and most of N connects each
// (default 20). Needs /usr/sbin/mosquitto and the openssl command; the
// link's log lines go to standard error.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "jwgate/broker_process.h"
#include "jwgate/test_certificates.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/mqtt/mqtt_link.h"

namespace {

using Clock = std::chrono::steady_clock;
using jwgate::test::BrokerProcess;
using jwgate::test::TestCertificates;

// When the link logged that it connected.
class ConnectedLine {
public:
    ConnectedLine() {
        jwgate::SetLogCapture([this](jwgate::LogLevel, const std::string& text) {
            if (text.find("connected to MQTT broker") == std::string::npos) return;
            std::lock_guard lock(mutex_);
            at_ = Clock::now();
            seen_ = true;
            wake_.notify_all();
        });
    }
    ~ConnectedLine() { jwgate::SetLogCapture({}); }
    void Reset() {
        std::lock_guard lock(mutex_);
        seen_ = false;
    }
    bool Wait(Clock::time_point* at) {
        std::unique_lock lock(mutex_);
        if (!wake_.wait_for(lock, std::chrono::seconds(10), [&] { return seen_; })) return false;
        *at = at_;
        return true;
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool seen_ = false;
    Clock::time_point at_;
};

// Milliseconds of each connect; empty if one failed.
std::vector<double> Connects(const jwgate::MqttConfig& settings, int count, ConnectedLine& connected) {
    std::vector<double> times;
    for (int i = 0; i < count; ++i) {
        connected.Reset();
        jwgate::MqttLink link(settings, {}, {});
        const auto start = Clock::now();
        std::string error;
        Clock::time_point at;
        if (!link.Start(&error) || !connected.Wait(&at)) {
            std::fprintf(stderr, "connect %d failed %s\n", i + 1, error.c_str());
            return {};
        }
        times.push_back(std::chrono::duration<double, std::milli>(at - start).count());
    }
    return times;
}

void Print(const char* what, std::vector<double> times) {
    if (times.empty()) return;
    std::sort(times.begin(), times.end());
    const std::size_t n = times.size();
    const double median = n % 2 == 1 ? times[n / 2] : (times[n / 2 - 1] + times[n / 2]) / 2;
    std::printf("%-42s median %6.2f ms   least %6.2f ms   most %6.2f ms   (%zu connects)\n", what, median,
                times.front(), times.back(), n);
}

}  // namespace

int main(int argc, char** argv) {
    const int count = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    TestCertificates certificates;
    if (!certificates.ready()) {
        std::fprintf(stderr, "%s\n", certificates.error().c_str());
        return 1;
    }
    const std::string tls = "user root\ncafile " + certificates.Certificate("ca") + "\ncertfile " +
                            certificates.Certificate("server") + "\nkeyfile " + certificates.Key("server") +
                            "\nallow_anonymous true\n";
    // mosquitto leaves Nagle's algorithm on by default: its CONNACK then
    // waits for the gateway's delayed acknowledgement of its TLS session
    // tickets (some 40 ms on Linux).
    const std::string noDelay = "set_tcp_nodelay true\n";
    BrokerProcess plainBroker(BrokerProcess::FreePort());
    BrokerProcess tlsBroker(BrokerProcess::FreePort(), tls);
    BrokerProcess tlsNoDelayBroker(BrokerProcess::FreePort(), tls + noDelay);
    BrokerProcess clientCertificateBroker(BrokerProcess::FreePort(), tls + noDelay + "require_certificate true\n");
    for (BrokerProcess* broker : {&plainBroker, &tlsBroker, &tlsNoDelayBroker, &clientCertificateBroker}) {
        if (!broker->Start()) {
            std::fprintf(stderr, "%s\n", broker->error().c_str());
            return 1;
        }
    }
    ConnectedLine connected;
    jwgate::MqttConfig settings;
    settings.statusTopic = "bench/status";
    settings.port = plainBroker.port();
    Print("plain", Connects(settings, count, connected));
    settings.caFile = certificates.Certificate("ca");
    settings.port = tlsBroker.port();
    Print("TLS, CA file", Connects(settings, count, connected));
    settings.port = tlsNoDelayBroker.port();
    Print("TLS, CA file, set_tcp_nodelay", Connects(settings, count, connected));
    settings.port = clientCertificateBroker.port();
    settings.certFile = certificates.Certificate("client");
    settings.keyFile = certificates.Key("client");
    Print("TLS, client certificate, set_tcp_nodelay", Connects(settings, count, connected));
    return 0;
}
