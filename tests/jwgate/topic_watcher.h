// A plain libmosquitto client for tests: subscribed to every topic ("#"), it
// keeps every message in the order the broker sent them, and the last of
// each topic; it publishes at QoS 1 (in order) unless told otherwise.
#pragma once

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <functional>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace jwgate::test {

inline constexpr auto kPatience = std::chrono::seconds(20);

class TopicWatcher {
public:
    struct Message {
        std::string topic;
        std::string payload;
        bool retained;
    };
    using Check = std::function<bool(const std::vector<Message>&)>;

    // Connects and waits until the subscription stands; ready() tells.
    // With a session name, the broker keeps the session (and queues what
    // comes while the watcher is away), and the watcher reconnects by
    // itself after the broker went, as a historian does.
    explicit TopicWatcher(int port, const std::string& session = "");
    ~TopicWatcher();
    TopicWatcher(const TopicWatcher&) = delete;
    TopicWatcher& operator=(const TopicWatcher&) = delete;

    bool ready();
    // Waits up to kPatience until the watcher has connected count times in
    // all (the first connection included).
    bool WaitForConnections(int count);
    enum class Retained { kAny, kYes };
    // Waits up to kPatience until the last message on topic is payload
    // (and, with kYes, came retained, i.e. was stored before we subscribed).
    bool WaitFor(const std::string& topic, const std::string& payload, Retained retained = Retained::kAny);
    // Waits up to kPatience until the last message on topic satisfies
    // accept; that message, or nothing.
    std::optional<std::string> WaitUntil(const std::string& topic,
                                         const std::function<bool(const std::string&)>& accept);
    // Waits up to patience until count topics starting with prefix hold a
    // last message that accept(topic, payload) takes (and, with kYes, came
    // retained); how many did.
    std::size_t WaitForTopics(const std::string& prefix, std::size_t count, Retained retained,
                              const std::function<bool(const std::string&, const std::string&)>& accept,
                              std::chrono::seconds patience = kPatience);
    bool Publish(const std::string& topic, const std::string& payload, bool retain, int qos = 1);

    // Waits up to kPatience until check holds of every message so far.
    bool WaitUntil(const Check& check);
    std::vector<Message> Messages();
    // What the broker held when we subscribed, topic by topic. The broker
    // queues those messages at the subscription, so a message of our own
    // published after it (at the same QoS 0) comes after all of them.
    std::optional<std::map<std::string, std::string>> RetainedAtSubscription();

private:
    struct Last {
        std::string payload;
        bool retained;
    };
    static void OnMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void OnSubscribe(mosquitto*, void* self, int, int, const int*);
    static void OnConnect(mosquitto*, void* self, int reason);

    mosquitto* client_ = nullptr;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::string, Last> last_;
    std::vector<Message> messages_;
    bool subscribed_ = false;
    int connections_ = 0;
};

}  // namespace jwgate::test
