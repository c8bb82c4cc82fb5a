#include "tools/jwgate/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <utility>

#include "tools/jwgate/core/log.h"

namespace jwgate {
namespace {

const std::string kOnline = "online";
const std::string kOffline = "offline";
// Status and write requests must not be lost on the way; values go at QoS 0
// (see Publish).
constexpr int kReliableQos = 1;
constexpr auto kOfflineWait = std::chrono::seconds(1);

std::map<std::string, std::string> SetTopics(const std::vector<std::string>& pointTopics) {
    std::map<std::string, std::string> pointOf;
    for (const auto& topic : pointTopics) pointOf.emplace(topic + "/set", topic);
    return pointOf;
}

void MqttLog(LogLevel level, const std::string& text) { Log(level, "mqtt: " + text); }

std::string Retrying(const MqttConfig& settings) {
    return "; retrying every " + std::to_string(settings.reconnectMinSeconds) + " to " +
           std::to_string(settings.reconnectMaxSeconds) + " s";
}

bool LibraryReady() {
    // Process-wide and never undone: other links may live on.
    static const int result = mosquitto_lib_init();
    return result == MOSQ_ERR_SUCCESS;
}

}  // namespace

MqttLink::MqttLink(MqttConfig settings, std::vector<std::string> pointTopics, SetHandler onSet)
    : settings_(std::move(settings)),
      pointTopics_(std::move(pointTopics)),
      pointOfSetTopic_(SetTopics(pointTopics_)),
      onSet_(std::move(onSet)) {}

MqttLink::~MqttLink() {
    Stop();
    if (client_ != nullptr) mosquitto_destroy(client_);
}

bool MqttLink::Start(std::string* error) {
    auto refuse = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (client_ != nullptr) return refuse("MQTT link already started");
    if (auto problem = CheckMqttSettings(settings_, pointTopics_); !problem.empty()) return refuse(problem);
    if (!LibraryReady()) return refuse("MQTT library failed to initialise");

    client_ = mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(), true, this);
    if (client_ == nullptr) return refuse(std::string("cannot create an MQTT client: ") + std::strerror(errno));
    int result = MOSQ_ERR_SUCCESS;
    if (!settings_.username.empty()) {
        result = mosquitto_username_pw_set(client_, settings_.username.c_str(),
                                           settings_.password.empty() ? nullptr : settings_.password.c_str());
    }
    if (result == MOSQ_ERR_SUCCESS && settings_.protocol5) {
        result = mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_will_set(client_, settings_.statusTopic.c_str(), static_cast<int>(kOffline.size()),
                                    kOffline.data(), kReliableQos, true);
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_reconnect_delay_set(client_, static_cast<unsigned>(settings_.reconnectMinSeconds),
                                               static_cast<unsigned>(settings_.reconnectMaxSeconds), true);
    }
    if (result != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot set up the MQTT client: ") + mosquitto_strerror(result));
    }
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_message_v5_callback_set(client_, OnMessage);
    mosquitto_subscribe_callback_set(client_, OnSubscribe);

    // Once a connection is under way, libmosquitto's network thread keeps it
    // up. One that fails at once (refused on this host, a name that does not
    // resolve yet, no route) would leave that thread waiting for a first
    // connection for ever: RetryFirstConnection makes it, then starts the thread.
    result = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepaliveSeconds);
    if (result == MOSQ_ERR_INVAL || result == MOSQ_ERR_NOMEM) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot connect to MQTT broker ") + BrokerName() + ": " + mosquitto_strerror(result));
    }
    if (result != MOSQ_ERR_SUCCESS) {
        ReportUnreachable(ReasonText(result));
        firstConnection_ = std::thread(&MqttLink::RetryFirstConnection, this);
        return true;
    }
    result = mosquitto_loop_start(client_);
    if (result != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(result));
    }
    std::lock_guard lock(mutex_);
    loopStarted_ = true;
    return true;
}

// Values go at QoS 0: only a point's latest value matters, so nothing is kept
// to be sent again after a reconnect, where it could overtake a newer value.
// libmosquitto's in-flight window only bounds QoS 1 and 2 and queues the rest
// without limit, so the link counts what is still waiting for the socket
// (libmosquitto reports QoS 0 publishes once written) and drops beyond that.
bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
    return Send(topic, payload, 0, retain, "");
}

bool MqttLink::PublishAnswer(const std::string& topic, const std::string& payload, const std::string& correlation) {
    return Send(topic, payload, kReliableQos, false, correlation);
}

bool MqttLink::Send(const std::string& topic, const std::string& payload, int qos, bool retain,
                    const std::string& correlation) {
    if (auto problem = MqttTopicProblem(topic); !problem.empty()) return NoteDrop(topic, "topic " + problem);
    if (payload.size() > static_cast<std::size_t>(INT_MAX)) return NoteDrop(topic, "payload too large");
    const char* refusal = nullptr;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            refusal = "link stopped";
        } else if (!connected_) {
            refusal = "not connected to the broker";
        } else if (unsent_ >= kMaxUnsentPublishes) {
            refusal = "the broker is not keeping up";
        } else {
            ++unsent_;
        }
    }
    if (refusal != nullptr) return NoteDrop(topic, refusal);
    // Properties exist only in MQTT 5; libmosquitto refuses them otherwise.
    mosquitto_property* properties = nullptr;
    int result = MOSQ_ERR_SUCCESS;
    if (settings_.protocol5 && !correlation.empty()) {
        result = mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                               static_cast<std::uint16_t>(correlation.size()));
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), qos, retain, properties);
    }
    mosquitto_property_free_all(&properties);
    if (result == MOSQ_ERR_SUCCESS) {
        NoteSent();
        return true;
    }
    {
        std::lock_guard lock(mutex_);
        if (unsent_ > 0) --unsent_;
    }
    return NoteDrop(topic, mosquitto_strerror(result));
}

int MqttLink::Room() const {
    std::lock_guard lock(mutex_);
    return connected_ && !stopping_ ? kMaxUnsentPublishes - unsent_ : 0;
}

void MqttLink::Stop() {
    {
        std::lock_guard lock(mutex_);
        if (client_ == nullptr || stopped_) return;
        stopped_ = true;
    }
    wake_.notify_all();
    if (firstConnection_.joinable()) firstConnection_.join();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        if (!loopStarted_) return;  // never connected
    }
    int offlineId = -1;
    bool offlineSent = false;
    {
        std::lock_guard status(statusMutex_);
        bool wasConnected = false;
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
            wasConnected = connected_;
        }
        if (wasConnected) {
            offlineSent = mosquitto_publish(client_, &offlineId, settings_.statusTopic.c_str(),
                                            static_cast<int>(kOffline.size()), kOffline.data(), kReliableQos,
                                            true) == MOSQ_ERR_SUCCESS;
        }
    }
    if (offlineSent) {
        std::unique_lock lock(mutex_);
        const bool acknowledged = wake_.wait_for(lock, kOfflineWait, [&] {
            return !connected_ || std::find(publishedWhileStopping_.begin(), publishedWhileStopping_.end(),
                                            offlineId) != publishedWhileStopping_.end();
        });
        if (!acknowledged) MqttLog(LogLevel::kWarning, "MQTT broker did not acknowledge \"offline\" within a second");
    }
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    std::lock_guard lock(mutex_);
    connected_ = false;
}

bool MqttLink::Connected() const {
    std::lock_guard lock(mutex_);
    return connected_ && !stopping_;
}

std::uint64_t MqttLink::Connections() const {
    std::lock_guard lock(mutex_);
    return connections_;
}

std::uint64_t MqttLink::DroppedPublishes() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

std::uint64_t MqttLink::SentPublishes() const {
    std::lock_guard lock(mutex_);
    return sent_;
}

void MqttLink::OnConnect(mosquitto*, void* self, int reason) { static_cast<MqttLink*>(self)->HandleConnect(reason); }

void MqttLink::OnDisconnect(mosquitto*, void* self, int reason) {
    static_cast<MqttLink*>(self)->HandleDisconnect(reason);
}

void MqttLink::OnPublish(mosquitto*, void* self, int messageId) {
    static_cast<MqttLink*>(self)->HandlePublished(messageId);
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                         const mosquitto_property* properties) {
    if (message != nullptr) static_cast<MqttLink*>(self)->HandleMessage(*message, properties);
}

void MqttLink::OnSubscribe(mosquitto*, void*, int, int count, const int* grantedQos) {
    for (int i = 0; i < count && grantedQos != nullptr; ++i) {
        if (grantedQos[i] > 2) {
            MqttLog(LogLevel::kError, "MQTT broker refused a subscription to write requests");
        }
    }
}

void MqttLink::HandleConnect(int reason) {
    if (reason != 0) {
        MqttLog(LogLevel::kWarning,
                "MQTT broker " + BrokerName() + " refused the connection: " +
                    (settings_.protocol5 ? mosquitto_reason_string(reason) : mosquitto_connack_string(reason)));
        return;
    }
    std::lock_guard status(statusMutex_);
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
    }
    if (!watchFilter_.empty()) {
        if (const int result = mosquitto_subscribe(client_, nullptr, watchFilter_.c_str(), kReliableQos);
            result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError,
                    "cannot subscribe to " + Quoted(watchFilter_) + ": " + mosquitto_strerror(result));
        }
    }
    // Subscribed before "online", so that "online" means writes are heard.
    for (const auto& [setTopic, point] : pointOfSetTopic_) {
        if (const int result = mosquitto_subscribe(client_, nullptr, setTopic.c_str(), kReliableQos);
            result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError, "cannot subscribe to " + Quoted(setTopic) + ": " + mosquitto_strerror(result));
        }
    }
    int onlineId = -1;
    if (const int result = mosquitto_publish(client_, &onlineId, settings_.statusTopic.c_str(),
                                             static_cast<int>(kOnline.size()), kOnline.data(), kReliableQos, true);
        result != MOSQ_ERR_SUCCESS) {
        MqttLog(LogLevel::kError, std::string("cannot publish \"online\": ") + mosquitto_strerror(result));
    }
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
        ++connections_;
        reportedUnreachable_ = false;
        reportedNoConnack_ = false;
        // Whatever waited for the old socket went with it.
        unsent_ = 0;
        onlineMessageId_ = onlineId;
    }
    MqttLog(LogLevel::kInfo, "connected to MQTT broker " + BrokerName());
}

void MqttLink::HandleDisconnect(int reason) {
    const std::string why = ReasonText(reason);
    bool wasConnected = false;
    {
        std::lock_guard lock(mutex_);
        wasConnected = connected_;
        connected_ = false;
    }
    wake_.notify_all();
    if (!wasConnected && reason == MOSQ_ERR_KEEPALIVE) {
        // The broker took the TCP connection and never answered CONNECT.
        ReportNoConnack();
    } else if (!wasConnected) {
        // A connection attempt that failed.
        ReportUnreachable(why);
    } else if (reason == MOSQ_ERR_SUCCESS) {
        MqttLog(LogLevel::kInfo, "disconnected from MQTT broker " + BrokerName());
    } else {
        MqttLog(LogLevel::kWarning, "lost MQTT broker " + BrokerName() + ": " + why);
    }
}

void MqttLink::ReportUnreachable(const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        // Once until the next connection, not at every attempt.
        if (std::exchange(reportedUnreachable_, true) || stopping_) return;
    }
    MqttLog(LogLevel::kWarning, "cannot reach MQTT broker " + BrokerName() + " (" + why + ")" + Retrying(settings_));
}

void MqttLink::ReportNoConnack() {
    {
        std::lock_guard lock(mutex_);
        if (std::exchange(reportedNoConnack_, true) || stopping_) return;
    }
    MqttLog(LogLevel::kWarning, "MQTT broker " + BrokerName() + " accepted the connection but sent no CONNACK within " +
                                    std::to_string(settings_.keepaliveSeconds) + " s (the keepalive)" +
                                    Retrying(settings_));
}

void MqttLink::RetryFirstConnection() {
    auto delay = std::chrono::seconds(settings_.reconnectMinSeconds);
    const auto longest = std::chrono::seconds(settings_.reconnectMaxSeconds);
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, delay, [&] { return stopped_; })) return;
        }
        // The only thread touching the client until the network thread runs.
        if (const int result = mosquitto_reconnect_async(client_); result != MOSQ_ERR_SUCCESS) {
            ReportUnreachable(ReasonText(result));
            delay = std::min(delay * 2, longest);
            continue;
        }
        if (const int result = mosquitto_loop_start(client_); result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError,
                    std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(result));
            return;
        }
        std::lock_guard lock(mutex_);
        loopStarted_ = true;
        return;
    }
}

std::string MqttLink::ReasonText(int reason) {
    if (reason == MOSQ_ERR_ERRNO) return std::strerror(errno);
    // libmosquitto 2.0 has no text of its own for this one.
    if (reason == MOSQ_ERR_KEEPALIVE) return "no answer within the keepalive";
    return mosquitto_strerror(reason);
}

void MqttLink::HandlePublished(int messageId) {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) {
            // Stop may not know the id of "offline" yet when its
            // acknowledgement comes; bounded by the publishes outstanding.
            publishedWhileStopping_.push_back(messageId);
        } else if (messageId != onlineMessageId_ && unsent_ > 0) {
            --unsent_;
        }
    }
    wake_.notify_all();
}

namespace {

// The MQTT 5 response topic and correlation data of a request, if it gave them.
MqttLink::ReplyTo ReplyToOf(const mosquitto_property* properties) {
    MqttLink::ReplyTo replyTo;
    char* topic = nullptr;
    if (mosquitto_property_read_string(properties, MQTT_PROP_RESPONSE_TOPIC, &topic, false) != nullptr &&
        topic != nullptr) {
        replyTo.topic = topic;
    }
    std::free(topic);
    void* data = nullptr;
    std::uint16_t length = 0;
    if (mosquitto_property_read_binary(properties, MQTT_PROP_CORRELATION_DATA, &data, &length, false) != nullptr &&
        data != nullptr) {
        replyTo.correlation.assign(static_cast<const char*>(data), length);
    }
    std::free(data);
    return replyTo;
}

}  // namespace

void MqttLink::HandleMessage(const mosquitto_message& message, const mosquitto_property* properties) {
    if (message.topic == nullptr) return;
    const auto point = pointOfSetTopic_.find(message.topic);
    if (point == pointOfSetTopic_.end()) {
        HandleWatched(message);
        return;
    }
    const std::string& topic = point->first;
    // The broker replays a retained message on every subscribe: an old write
    // request would be carried out again at each reconnect.
    if (message.retain) {
        MqttLog(LogLevel::kWarning, "ignored a retained write request on " + Quoted(topic));
        return;
    }
    const auto size = static_cast<std::size_t>(std::max(message.payloadlen, 0));
    if (size > kMaxSetPayload) {
        MqttLog(LogLevel::kWarning, "dropped a write request of " + std::to_string(size) + " bytes on " +
                                     Quoted(topic) + " (at most " + std::to_string(kMaxSetPayload) + ")");
        return;
    }
    std::string payload;
    if (size > 0 && message.payload != nullptr) payload.assign(static_cast<const char*>(message.payload), size);
    // What follows a NUL would be lost on the way to a number: "5\0garbage"
    // is not a request for 5.
    if (payload.find('\0') != std::string::npos) {
        MqttLog(LogLevel::kWarning, "dropped a write request with a NUL byte on " + Quoted(topic));
        return;
    }
    try {
        onSet_(point->second, payload, ReplyToOf(properties));
    } catch (const std::exception& exception) {
        MqttLog(LogLevel::kError, "write request on " + Quoted(topic) + " failed: " + exception.what());
    } catch (...) {
        MqttLog(LogLevel::kError, "write request on " + Quoted(topic) + " failed");
    }
}

bool MqttLink::NoteDrop(const std::string& topic, const std::string& reason) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        ++dropped_;
        first = ++droppedInRow_ == 1;
    }
    // One line per run of drops, not one per value.
    if (first) MqttLog(LogLevel::kWarning, "dropping MQTT publishes (first to " + Quoted(topic) + "): " + reason);
    return false;
}

void MqttLink::NoteSent() {
    std::uint64_t dropped = 0;
    {
        std::lock_guard lock(mutex_);
        ++sent_;
        dropped = std::exchange(droppedInRow_, 0);
    }
    if (dropped > 0) {
        MqttLog(LogLevel::kInfo, "MQTT publishes go out again after " + std::to_string(dropped) + " dropped");
    }
}

void MqttLink::WatchRetained(std::string filter, RetainedHandler onRetained) {
    watchFilter_ = std::move(filter);
    onRetained_ = std::move(onRetained);
}

// Only what the broker kept: a message that comes live was published since,
// by this gateway or another client, and is not what the filter looks for.
void MqttLink::HandleWatched(const mosquitto_message& message) {
    bool matches = false;
    if (!message.retain || watchFilter_.empty() ||
        mosquitto_topic_matches_sub(watchFilter_.c_str(), message.topic, &matches) != MOSQ_ERR_SUCCESS || !matches) {
        return;
    }
    try {
        onRetained_(message.topic, static_cast<std::size_t>(std::max(message.payloadlen, 0)));
    } catch (const std::exception& exception) {
        MqttLog(LogLevel::kError, "retained message on " + Quoted(message.topic) + " failed: " + exception.what());
    }
}

std::string MqttLink::BrokerName() const { return settings_.host + ":" + std::to_string(settings_.port); }

}  // namespace jwgate
