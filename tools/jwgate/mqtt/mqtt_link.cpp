#include "tools/jwgate/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

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
    if (result == MOSQ_ERR_SUCCESS && !settings_.caFile.empty()) {
        // The broker's certificate and host name are always checked
        // (libmosquitto's default, never switched off here).
        result = mosquitto_tls_set(client_, settings_.caFile.c_str(), nullptr,
                                   settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                                   settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (result == MOSQ_ERR_SUCCESS) {
            result = mosquitto_tls_opts_set(client_, SSL_VERIFY_PEER, settings_.tlsVersion.c_str(), nullptr);
        }
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
    mosquitto_log_callback_set(client_, OnLibraryLog);

    // Once a connection is under way, libmosquitto's network thread keeps it
    // up. One that fails at once (refused on this host, a name that does not
    // resolve yet, no route) would leave that thread waiting for a first
    // connection for ever, and after some failures (a TLS handshake, a
    // protocol error) the thread ends: Reconnect makes the connection then,
    // and starts the thread again.
    result = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepaliveSeconds);
    if (result == MOSQ_ERR_INVAL || result == MOSQ_ERR_NOMEM) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot connect to MQTT broker ") + BrokerName() + ": " + mosquitto_strerror(result));
    }
    if (result != MOSQ_ERR_SUCCESS) {
        ReportAttemptFailure(result, errno);
        reconnector_ = std::thread(&MqttLink::Reconnect, this, false);
        return true;
    }
    result = mosquitto_loop_start(client_);
    if (result != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(result));
    }
    {
        std::lock_guard lock(mutex_);
        loopStarted_ = true;
    }
    reconnector_ = std::thread(&MqttLink::Reconnect, this, true);
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
    if (reconnector_.joinable()) reconnector_.join();
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

MqttConnectFailures MqttLink::ConnectFailures() const {
    std::lock_guard lock(mutex_);
    return failures_;
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

// libmosquitto tells what OpenSSL refused only in its log, as OpenSSL's
// error string ("error:0A000086:SSL routines::certificate verify failed");
// a refused client certificate comes as the broker's TLS alert ("tlsv13
// alert certificate required"), with TLS 1.3 only once CONNECT is sent.
// Its own check of the host name comes as a line before.
void MqttLink::OnLibraryLog(mosquitto* client, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    auto& link = *static_cast<MqttLink*>(self);
    const std::string line = text;
    if (line.find("host name verification failed") != std::string::npos) {
        std::lock_guard lock(link.mutex_);
        link.hostNameRefused_ = true;
        return;
    }
    if (!line.starts_with("OpenSSL Error")) return;
    std::string reason = line.substr(line.rfind(':') + 1);
    {
        std::lock_guard lock(link.mutex_);
        // One failure per attempt, however many lines OpenSSL had.
        if (!link.tlsError_.empty()) return;
        if (reason == "certificate verify failed") {
            // Why: unknown authority, expired, not for this host.
            if (std::exchange(link.hostNameRefused_, false)) {
                reason += ": the certificate is not for " + link.settings_.host;
            } else if (auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(client)); ssl != nullptr) {
                reason += std::string(": ") + X509_verify_cert_error_string(SSL_get_verify_result(ssl));
            }
        }
        link.tlsError_ = reason;
        // After a TLS failure the network thread ends, with or without a
        // disconnect callback; or, reconnecting by itself, keeps failing.
        link.networkThreadEnds_ = true;
    }
    link.wake_.notify_all();
    const int savedErrno = errno;  // libmosquitto's loop reads it after this
    link.ReportTlsFailure(reason);
    errno = savedErrno;
}

void MqttLink::HandleConnect(int reason) {
    if (reason != 0) {
        // MQTT 3.1.1's 4 and 5, MQTT 5's 134 and 135: bad user name or
        // password, not authorised.
        const bool credentials = reason == 4 || reason == 5 || reason == 134 || reason == 135;
        {
            std::lock_guard lock(mutex_);
            refusedByBroker_ = true;
        }
        ReportFailure(credentials ? Failure::kCredentials : Failure::kNetwork,
                      "MQTT broker " + BrokerName() + " refused the " + (credentials ? "credentials" : "connection") +
                          ": " +
                          (settings_.protocol5 ? mosquitto_reason_string(reason) : mosquitto_connack_string(reason)) +
                          Retrying(settings_));
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
        reportedFailures_.clear();
        tlsError_.clear();
        // Whatever waited for the old socket went with it.
        unsent_ = 0;
        onlineMessageId_ = onlineId;
    }
    MqttLog(LogLevel::kInfo, "connected to MQTT broker " + BrokerName());
}

void MqttLink::HandleDisconnect(int reason) {
    // libmosquitto's network thread reads errno after this, to decide
    // whether it gives up (EPROTO: after a TLS failure).
    const int savedErrno = errno;
    const std::string why = ReasonText(reason);
    bool wasConnected = false;
    bool refused = false;
    std::string tlsError;
    {
        std::lock_guard lock(mutex_);
        wasConnected = connected_;
        connected_ = false;
        refused = std::exchange(refusedByBroker_, false);
        tlsError = std::exchange(tlsError_, {});
        if (!tlsError.empty() || savedErrno == EPROTO || NetworkThreadGivesUp(reason)) networkThreadEnds_ = true;
    }
    wake_.notify_all();
    if (!wasConnected && (refused || !tlsError.empty())) {
        // Reported with the broker's CONNACK, or as OpenSSL said it.
    } else if (!wasConnected && reason == MOSQ_ERR_KEEPALIVE) {
        // The broker took the TCP connection and never answered CONNECT.
        ReportNoConnack();
    } else if (!wasConnected) {
        // A connection attempt that failed.
        ReportAttemptFailure(reason, savedErrno);
    } else if (reason == MOSQ_ERR_SUCCESS) {
        MqttLog(LogLevel::kInfo, "disconnected from MQTT broker " + BrokerName());
    } else {
        MqttLog(LogLevel::kWarning, "lost MQTT broker " + BrokerName() + ": " + why);
    }
    errno = savedErrno;
}

void MqttLink::ReportTlsFailure(const std::string& detail) {
    std::string what = "the TLS handshake with MQTT broker " + BrokerName() + " failed";
    if (detail.starts_with("certificate verify failed")) {
        what = "the certificate of MQTT broker " + BrokerName() + " failed the check";
    } else if (detail.find("alert") != std::string::npos && detail.find("certificate") != std::string::npos) {
        what = "MQTT broker " + BrokerName() + " refused the gateway's certificate";
    }
    ReportFailure(Failure::kTls, what + " (" + detail + ")" + Retrying(settings_));
}

void MqttLink::ReportFailure(Failure kind, const std::string& text) {
    {
        std::lock_guard lock(mutex_);
        ++(kind == Failure::kTls ? failures_.tls : kind == Failure::kCredentials ? failures_.credentials
                                                                                 : failures_.network);
        if (stopping_ || !reportedFailures_.insert(text).second) return;
    }
    MqttLog(LogLevel::kWarning, text);
}

// A TLS connection the broker closed while the gateway was still writing
// (its refusal racing CONNECT) fails with EPROTO and no word from OpenSSL.
void MqttLink::ReportAttemptFailure(int reason, int error) {
    const bool brokeOff = reason == MOSQ_ERR_ERRNO && error == EPROTO;
    if (!settings_.caFile.empty() && (brokeOff || reason == MOSQ_ERR_TLS || reason == MOSQ_ERR_TLS_HANDSHAKE)) {
        bool reported = false;
        {
            std::lock_guard lock(mutex_);
            reported = !std::exchange(tlsError_, {}).empty();  // in OpenSSL's words, by OnLibraryLog
        }
        if (!reported) ReportTlsFailure(brokeOff ? std::strerror(error) : mosquitto_strerror(reason));
        return;
    }
    errno = error;
    ReportUnreachable(ReasonText(reason));
}

void MqttLink::ReportUnreachable(const std::string& why) {
    {
        std::lock_guard lock(mutex_);
        ++failures_.network;
        // Once until the next connection, not at every attempt.
        if (std::exchange(reportedUnreachable_, true) || stopping_) return;
    }
    MqttLog(LogLevel::kWarning, "cannot reach MQTT broker " + BrokerName() + " (" + why + ")" + Retrying(settings_));
}

void MqttLink::ReportNoConnack() {
    {
        std::lock_guard lock(mutex_);
        ++failures_.network;
        if (std::exchange(reportedNoConnack_, true) || stopping_) return;
    }
    MqttLog(LogLevel::kWarning, "MQTT broker " + BrokerName() + " accepted the connection but sent no CONNACK within " +
                                    std::to_string(settings_.keepaliveSeconds) + " s (the keepalive)" +
                                    Retrying(settings_));
}

// The failures after which libmosquitto's network thread returns instead of
// reconnecting (its loop_forever).
bool MqttLink::NetworkThreadGivesUp(int reason) {
    switch (reason) {
        case MOSQ_ERR_NOMEM: case MOSQ_ERR_PROTOCOL: case MOSQ_ERR_INVAL: case MOSQ_ERR_NOT_FOUND:
        case MOSQ_ERR_TLS: case MOSQ_ERR_PAYLOAD_SIZE: case MOSQ_ERR_NOT_SUPPORTED: case MOSQ_ERR_AUTH:
        case MOSQ_ERR_ACL_DENIED: case MOSQ_ERR_UNKNOWN: case MOSQ_ERR_EAI: case MOSQ_ERR_PROXY:
            return true;
        default:
            return false;
    }
}

// Waits for the network thread to end, then reconnects with the back-off
// (doubling from the least delay, anew after each connection) and starts
// it again; also makes a first connection that failed at once.
void MqttLink::Reconnect(bool networkThreadRuns) {
    const auto shortest = std::chrono::seconds(settings_.reconnectMinSeconds);
    const auto longest = std::chrono::seconds(settings_.reconnectMaxSeconds);
    auto delay = shortest;
    std::uint64_t connectionsSeen = 0;
    for (;;) {
        if (networkThreadRuns) {
            {
                std::unique_lock lock(mutex_);
                wake_.wait(lock, [&] { return stopped_ || networkThreadEnds_; });
                if (stopped_) return;
                networkThreadEnds_ = false;
                loopStarted_ = false;
                if (std::exchange(connectionsSeen, connections_) != connections_) delay = shortest;
            }
            // It returns once its callback did: the cancel only bounds the wait.
            mosquitto_loop_stop(client_, true);
            networkThreadRuns = false;
        }
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, delay, [&] { return stopped_; })) return;
            tlsError_.clear();
            hostNameRefused_ = false;
        }
        delay = std::min(delay * 2, longest);
        // The only thread touching the client until the network thread runs.
        if (const int result = mosquitto_reconnect_async(client_); result != MOSQ_ERR_SUCCESS) {
            ReportAttemptFailure(result, errno);
            continue;
        }
        {
            std::lock_guard lock(mutex_);
            networkThreadEnds_ = false;  // said of an attempt that failed before
        }
        if (const int result = mosquitto_loop_start(client_); result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError,
                    std::string("cannot start the MQTT network thread: ") + mosquitto_strerror(result));
            return;
        }
        std::lock_guard lock(mutex_);
        loopStarted_ = true;
        networkThreadRuns = true;
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
