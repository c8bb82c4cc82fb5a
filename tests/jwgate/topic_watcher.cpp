#include "jwgate/topic_watcher.h"

#include <mosquitto.h>

namespace jwgate::test {

TopicWatcher::TopicWatcher(int port, const std::string& session) {
    static const int library = mosquitto_lib_init();
    if (library != MOSQ_ERR_SUCCESS) return;
    client_ = mosquitto_new(session.empty() ? nullptr : session.c_str(), session.empty(), this);
    if (client_ == nullptr) return;
    mosquitto_message_callback_set(client_, OnMessage);
    mosquitto_subscribe_callback_set(client_, OnSubscribe);
    // Subscribed on every connection, the first included.
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS) return;
    if (mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) return;
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, kPatience, [&] { return subscribed_; });
}

TopicWatcher::~TopicWatcher() {
    if (client_ == nullptr) return;
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

bool TopicWatcher::ready() {
    std::lock_guard lock(mutex_);
    return subscribed_;
}

bool TopicWatcher::WaitFor(const std::string& topic, const std::string& payload, Retained retained) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] {
        const auto last = last_.find(topic);
        return last != last_.end() && last->second.payload == payload &&
               (retained == Retained::kAny || last->second.retained);
    });
}

std::optional<std::string> TopicWatcher::WaitUntil(const std::string& topic,
                                                   const std::function<bool(const std::string&)>& accept) {
    std::unique_lock lock(mutex_);
    const bool seen = changed_.wait_for(lock, kPatience, [&] {
        const auto last = last_.find(topic);
        return last != last_.end() && accept(last->second.payload);
    });
    if (!seen) return std::nullopt;
    return last_[topic].payload;
}

std::size_t TopicWatcher::WaitForTopics(const std::string& prefix, std::size_t count, Retained retained,
                                        const std::function<bool(const std::string&, const std::string&)>& accept,
                                        std::chrono::seconds patience) {
    // Each message is judged once, as it comes: judging every topic again at
    // every message is quadratic, and thousands of topics under a sanitizer
    // then take longer than the gateway does to publish them.
    std::unique_lock lock(mutex_);
    std::map<std::string, bool> verdicts;
    std::size_t taken = 0;
    std::size_t judged = 0;
    changed_.wait_for(lock, patience, [&] {
        for (; judged < messages_.size(); ++judged) {
            const Message& message = messages_[judged];
            if (!message.topic.starts_with(prefix)) continue;
            const bool good = (retained == Retained::kAny || message.retained) && accept(message.topic, message.payload);
            bool& verdict = verdicts[message.topic];
            taken = taken - (verdict ? 1 : 0) + (good ? 1 : 0);
            verdict = good;
        }
        return taken >= count;
    });
    return taken;
}

bool TopicWatcher::Publish(const std::string& topic, const std::string& payload, bool retain, int qos) {
    return client_ != nullptr && mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                                   payload.data(), qos, retain) == MOSQ_ERR_SUCCESS;
}

bool TopicWatcher::WaitUntil(const Check& check) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return check(messages_); });
}

std::vector<TopicWatcher::Message> TopicWatcher::Messages() {
    std::lock_guard lock(mutex_);
    return messages_;
}

std::optional<std::map<std::string, std::string>> TopicWatcher::RetainedAtSubscription() {
    const std::string marker = "jwtest/marker";
    if (!Publish(marker, "end", false, 0)) return std::nullopt;
    std::map<std::string, std::string> retained;
    const bool seen = WaitUntil([&](const std::vector<Message>& messages) {
        retained.clear();
        for (const Message& message : messages) {
            if (message.topic == marker) return true;
            if (message.retained) retained[message.topic] = message.payload;
        }
        return false;
    });
    if (!seen) return std::nullopt;
    return retained;
}

void TopicWatcher::OnMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto& watcher = *static_cast<TopicWatcher*>(self);
    {
        std::lock_guard lock(watcher.mutex_);
        const auto* bytes = static_cast<const char*>(message->payload);
        std::string payload =
            bytes == nullptr ? std::string() : std::string(bytes, static_cast<std::size_t>(message->payloadlen));
        watcher.last_[message->topic] = {payload, message->retain};
        watcher.messages_.push_back({message->topic, std::move(payload), message->retain});
    }
    watcher.changed_.notify_all();
}

void TopicWatcher::OnConnect(mosquitto* client, void* self, int reason) {
    if (reason != 0) return;
    mosquitto_subscribe(client, nullptr, "#", 1);
    auto& watcher = *static_cast<TopicWatcher*>(self);
    {
        std::lock_guard lock(watcher.mutex_);
        ++watcher.connections_;
    }
    watcher.changed_.notify_all();
}

bool TopicWatcher::WaitForConnections(int count) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kPatience, [&] { return connections_ >= count; });
}

void TopicWatcher::OnSubscribe(mosquitto*, void* self, int, int, const int*) {
    auto& watcher = *static_cast<TopicWatcher*>(self);
    {
        std::lock_guard lock(watcher.mutex_);
        watcher.subscribed_ = true;
    }
    watcher.changed_.notify_all();
}

}  // namespace jwgate::test
