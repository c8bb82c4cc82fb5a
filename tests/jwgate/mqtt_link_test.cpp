// The MQTT link against a real broker: values and status as subscribers see
// them, write requests, the last will of a killed process, a broker that
// comes late, restarts or never answers, and the settings Start refuses.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "jwgate/broker_process.h"
#include "jwgate/free_port.h"
#include "jwgate/log_lines.h"
#include "jwgate/topic_watcher.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/mqtt/mqtt_link.h"

namespace jwgate {
namespace {

using test::BrokerProcess;
using test::kPatience;
using test::TopicWatcher;
using Retained = TopicWatcher::Retained;

const std::string kStatus = "jw/gate/status";

bool Eventually(const std::function<bool()>& condition, std::chrono::seconds patience = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

MqttConfig SettingsFor(int port) {
    MqttConfig settings;
    settings.port = port;
    settings.statusTopic = kStatus;
    settings.keepaliveSeconds = 5;
    settings.reconnectMaxSeconds = 2;
    return settings;
}

using test::LogLines;

TEST(MqttLink, ValuesAndStatusAreRetainedForLateSubscribers) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    MqttLink link(SettingsFor(broker.port()), {}, {});
    std::string error;
    ASSERT_TRUE(link.Start(&error)) << error;
    ASSERT_TRUE(Eventually([&] { return link.Connected(); }));

    const std::string binary("1\0\xff", 3);
    TopicWatcher early(broker.port());
    ASSERT_TRUE(early.ready());
    EXPECT_EQ(link.Room(), MqttLink::kMaxUnsentPublishes);
    EXPECT_TRUE(link.Publish("jw/01/MA0100", "4660", true));
    EXPECT_TRUE(link.Publish("jw/01/R00001", binary, true));
    ASSERT_TRUE(early.WaitFor("jw/01/R00001", binary));

    TopicWatcher late(broker.port());
    EXPECT_TRUE(late.WaitFor("jw/01/MA0100", "4660", Retained::kYes));
    EXPECT_TRUE(late.WaitFor("jw/01/R00001", binary, Retained::kYes));
    EXPECT_TRUE(late.WaitFor(kStatus, "online", Retained::kYes));
    EXPECT_EQ(link.DroppedPublishes(), 0u);

    link.Stop();
    link.Stop();
    EXPECT_FALSE(link.Connected());
    EXPECT_TRUE(late.WaitFor(kStatus, "offline"));
    TopicWatcher afterStop(broker.port());
    EXPECT_TRUE(afterStop.WaitFor(kStatus, "offline", Retained::kYes));
}

TEST(MqttLink, WriteRequestsReachTheHandlerAsTheyCame) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    TopicWatcher client(broker.port());
    ASSERT_TRUE(client.ready());
    // Left retained before the link subscribes: an old request, not carried out.
    ASSERT_TRUE(client.Publish("jw/01/R00001/set", "stale", true));
    ASSERT_TRUE(client.WaitFor("jw/01/R00001/set", "stale"));

    LogLines log;
    std::mutex mutex;
    std::vector<std::pair<std::string, std::string>> received;
    MqttLink link(SettingsFor(broker.port()), {"jw/01/MA0100", "jw/01/R00001"},
                  [&](const std::string& point, const std::string& payload, const MqttLink::ReplyTo&) {
                      std::lock_guard lock(mutex);
                      received.emplace_back(point, payload);
                  });
    std::string error;
    ASSERT_TRUE(link.Start(&error)) << error;
    ASSERT_TRUE(client.WaitFor(kStatus, "online"));

    const std::string binary("a\0b", 3);
    const std::string longest(MqttLink::kMaxSetPayload, 'x');
    const struct {
        std::string topic, payload;
        bool reachesHandler;
    } requests[] = {
        {"jw/01/MA0100/set", "17", true},
        {"jw/01/MA0100/set", binary, false},
        {"jw/01/MA0100/set", std::string("5\0garbage", 9), false},
        {"jw/01/MA0100/set", "", true},
        {"jw/01/MA0100/set", longest, true},
        {"jw/01/MA0100/set", longest + "x", false},
        {"jw/01/MA0100", "9", false},
        {"jw/01/MA0101/set", "9", false},
        {"jw/01/R00001/set", "end", true},  // last: once it is in, all are
    };
    std::vector<std::pair<std::string, std::string>> expected;
    for (const auto& request : requests) {
        ASSERT_TRUE(client.Publish(request.topic, request.payload, false));
        const auto point = request.topic.substr(0, request.topic.rfind("/set"));
        if (request.reachesHandler) expected.emplace_back(point, request.payload);
    }
    ASSERT_TRUE(Eventually([&] {
        std::lock_guard lock(mutex);
        return received.size() >= expected.size();
    }));
    std::lock_guard lock(mutex);
    EXPECT_EQ(received, expected);
    EXPECT_EQ(log.Count("dropped a write request with a NUL byte"), 2u);
}

TEST(MqttLink, LastWillSaysOfflineWhenTheProcessDiesWithoutStop) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        MqttLink link(SettingsFor(broker.port()), {}, {});
        if (link.Start(nullptr) && Eventually([&] { return link.Connected(); })) {
            (void)!write(ready[1], "c", 1);
            for (;;) pause();
        }
        _exit(1);
    }
    close(ready[1]);
    pollfd connected {ready[0], POLLIN, 0};
    const bool childConnected = poll(&connected, 1, 1000 * kPatience.count()) == 1;
    close(ready[0]);
    TopicWatcher watcher(broker.port());
    const bool online = watcher.WaitFor(kStatus, "online");
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    ASSERT_TRUE(childConnected);
    EXPECT_TRUE(online);
    EXPECT_TRUE(watcher.WaitFor(kStatus, "offline"));
}

TEST(MqttLink, ConnectsToABrokerThatComesUpLateAndAgainAfterItRestarts) {
    LogLines log;
    MqttConfig settings = SettingsFor(BrokerProcess::FreePort());
    MqttLink link(settings, {}, {});
    std::string error;
    ASSERT_TRUE(link.Start(&error)) << error;
    EXPECT_FALSE(link.Connected());
    EXPECT_EQ(link.Room(), 0);
    EXPECT_FALSE(link.Publish("jw/01/MA0100", "1", true));
    EXPECT_FALSE(link.Publish("jw/01/MA0100", "2", true));
    EXPECT_EQ(link.DroppedPublishes(), 2u);
    EXPECT_TRUE(log.Has("dropping MQTT publishes"));

    for (int run = 1; run <= 2; ++run) {
        BrokerProcess broker(settings.port);
        ASSERT_TRUE(broker.Start()) << broker.error();
        ASSERT_TRUE(Eventually([&] { return link.Connected(); })) << "broker run " << run;
        EXPECT_EQ(link.Connections(), static_cast<std::uint64_t>(run));
        TopicWatcher watcher(broker.port());
        EXPECT_TRUE(watcher.WaitFor(kStatus, "online")) << "broker run " << run;
        broker.Kill();
        ASSERT_TRUE(Eventually([&] { return !link.Connected(); })) << "broker run " << run;
    }
    EXPECT_TRUE(log.Has("connected to MQTT broker"));
    EXPECT_TRUE(log.Has("lost MQTT broker"));
}

// Takes TCP connections on a port and never says a word: a hung broker, or
// some other server on the broker's port.
class SilentListener {
public:
    explicit SilentListener(int port) {
        socket_ = test::ListenLoopback(port);
        listening_ = socket_ >= 0;
        if (listening_) acceptor_ = std::thread([this] { Accept(); });
    }
    ~SilentListener() {
        stop_ = true;
        if (acceptor_.joinable()) acceptor_.join();
        for (const int client : clients_) close(client);
        close(socket_);
    }
    bool listening() const { return listening_; }
    int accepted() const { return accepted_; }

private:
    void Accept() {
        while (!stop_) {
            pollfd incoming {socket_, POLLIN, 0};
            if (poll(&incoming, 1, 50) != 1) continue;
            if (const int client = accept(socket_, nullptr, nullptr); client >= 0) {
                clients_.push_back(client);
                ++accepted_;
            }
        }
    }

    int socket_ = -1;
    bool listening_ = false;
    std::atomic<bool> stop_ {false};
    std::atomic<int> accepted_ {0};
    std::vector<int> clients_;  // the acceptor's until it is joined
    std::thread acceptor_;
};

TEST(MqttLink, ABrokerThatNeverAnswersIsLoggedOnceAndRetried) {
    LogLines log;
    const int port = BrokerProcess::FreePort();
    MqttLink link(SettingsFor(port), {}, {});
    {
        SilentListener silent(port);
        ASSERT_TRUE(silent.listening());
        std::string error;
        ASSERT_TRUE(link.Start(&error)) << error;
        // The third connection comes after two attempts went unanswered for
        // the keepalive (5 s): only the first is logged.
        ASSERT_TRUE(Eventually([&] { return silent.accepted() >= 3; }, std::chrono::seconds(60)));
        EXPECT_EQ(log.Count("accepted the connection but sent no CONNACK within 5 s"), 1u);
        EXPECT_FALSE(link.Connected());
    }
    BrokerProcess broker(port);
    ASSERT_TRUE(broker.Start()) << broker.error();
    EXPECT_TRUE(Eventually([&] { return link.Connected(); }));
}

// A TLS handshake the server never answers would hold the link until the
// keepalive (a minute here); so would the back-off between attempts.
TEST(MqttLink, StopEndsAHangingHandshakeAndABackOffAtOnce) {
    const int port = BrokerProcess::FreePort();
    SilentListener silent(port);
    ASSERT_TRUE(silent.listening());
    for (const bool inBackOff : {false, true}) {
        MqttConfig settings = SettingsFor(port);
        settings.keepaliveSeconds = 60;
        settings.caFile = "/etc/ssl/certs/ca-certificates.crt";
        if (inBackOff) settings.port = BrokerProcess::FreePort();  // refused: then waits 60 s to retry
        settings.reconnectMinSeconds = settings.reconnectMaxSeconds = 60;
        MqttLink link(settings, {}, {});
        std::string error;
        ASSERT_TRUE(link.Start(&error)) << error;
        if (inBackOff) {
            ASSERT_TRUE(Eventually([&] { return link.ConnectFailures().network >= 1; }));
        } else {
            ASSERT_TRUE(Eventually([&] { return silent.accepted() >= 1; }));
        }
        const auto stopping = std::chrono::steady_clock::now();
        link.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - stopping, std::chrono::seconds(10)) << "back-off: " << inBackOff;
    }
}

TEST(MqttLink, StartRefusesUnusableSettings) {
    const struct {
        const char* what;
        std::function<void(MqttConfig&, std::vector<std::string>&)> spoil;
        const char* error;
    } cases[] = {
        {"empty host", [](auto& s, auto&) { s.host.clear(); }, "MQTT broker host is empty"},
        {"port 0", [](auto& s, auto&) { s.port = 0; }, "MQTT broker port 0 is outside 1 to 65535"},
        {"port 65536", [](auto& s, auto&) { s.port = 65536; }, "MQTT broker port 65536 is outside 1 to 65535"},
        {"keepalive 4", [](auto& s, auto&) { s.keepaliveSeconds = 4; }, "MQTT keepalive 4 s is outside 5 to 3600 s"},
        {"empty status", [](auto& s, auto&) { s.statusTopic.clear(); }, "MQTT status topic \"\" is empty"},
        {"status +", [](auto& s, auto&) { s.statusTopic = "a/+/b"; }, "MQTT status topic \"a/+/b\" contains \"+\""},
        {"status #", [](auto& s, auto&) { s.statusTopic = "a/#"; }, "MQTT status topic \"a/#\" contains \"#\""},
        {"status $SYS", [](auto& s, auto&) { s.statusTopic = "$SYS/jw"; },
         "MQTT status topic \"$SYS/jw\" starts with \"$\""},
        {"status NUL", [](auto& s, auto&) { s.statusTopic = std::string("a\0b", 3); },
         "MQTT status topic \"a\\x00b\" contains a NUL byte"},
        {"point #", [](auto&, auto& p) { p.push_back("jw/#"); }, "MQTT point topic \"jw/#\" contains \"#\""},
        {"point not UTF-8", [](auto&, auto& p) { p.push_back("jw/\xff"); },
         "MQTT point topic \"jw/\\xFF\" is not valid UTF-8"},
        {"reconnect 0", [](auto& s, auto&) { s.reconnectMinSeconds = 0; }, "MQTT reconnect delays 0 to 30 s"},
        {"reconnect max < min", [](auto& s, auto&) { s.reconnectMinSeconds = 5, s.reconnectMaxSeconds = 4; },
         "MQTT reconnect delays 5 to 4 s"},
        {"password alone", [](auto& s, auto&) { s.password = "secret"; }, "MQTT password given without a user name"},
    };
    for (const auto& test : cases) {
        MqttConfig settings;
        settings.statusTopic = kStatus;
        std::vector<std::string> points {"jw/01/MA0100"};
        test.spoil(settings, points);
        MqttLink link(settings, points, {});
        std::string error;
        EXPECT_FALSE(link.Start(&error)) << test.what;
        EXPECT_EQ(error.rfind(test.error, 0), 0u) << test.what << ": " << error;
    }
}

}  // namespace
}  // namespace jwgate
