#include "tools/jwgate/mqtt/mqtt_link.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
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
constexpr int kLoopWaitMs = 100;

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
    // Publish, from other threads, then only queues and wakes the loop: the
    // link's thread alone reads and writes the socket.
    if (result == MOSQ_ERR_SUCCESS) result = mosquitto_threaded_set(client_, true);
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

    // Does not wait for the broker (the TCP connection and TLS handshake go
    // on in the loop); only a host name is looked up here.
    result = mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepaliveSeconds);
    if (result == MOSQ_ERR_INVAL || result == MOSQ_ERR_NOMEM) {
        mosquitto_destroy(client_);
        client_ = nullptr;
        return refuse(std::string("cannot connect to MQTT broker ") + BrokerName() + ": " + mosquitto_strerror(result));
    }
    if (result != MOSQ_ERR_SUCCESS) ReportAttemptFailure(result, errno);
    NoteSocketError(errno);
    thread_ = std::thread(&MqttLink::Run, this, result);
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
        if (stopping_) return;
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool MqttLink::StopRequested() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

// Back-off doubles from the least delay, anew after each connection. A
// failure is reported here, after the loop ended the attempt, unless a
// callback already said it in better words (the broker's refusal).
void MqttLink::Run(int firstResult) {
    const auto shortest = std::chrono::seconds(settings_.reconnectMinSeconds);
    const auto longest = std::chrono::seconds(settings_.reconnectMaxSeconds);
    auto delay = shortest;
    int result = firstResult;
    for (;;) {
        if (result == MOSQ_ERR_SUCCESS) {
            result = Serve();
            const int error = errno;
            if (StopRequested()) break;
            if (attempt_.connected) {
                delay = shortest;
            } else if (attempt_.refusal == 0) {
                ReportAttemptFailure(result, error);
            }
        }
        {
            std::unique_lock lock(mutex_);
            if (wake_.wait_for(lock, delay, [&] { return stopping_; })) break;
        }
        delay = std::min(delay * 2, longest);
        attempt_ = {};
        result = mosquitto_reconnect_async(client_);
        if (result != MOSQ_ERR_SUCCESS) ReportAttemptFailure(result, errno);
        NoteSocketError(errno);
    }
    SayOfflineAndDisconnect();
}

int MqttLink::Serve() {
    for (;;) {
        NoteSocketError(errno);
        if (StopRequested()) return MOSQ_ERR_SUCCESS;
        // Bounds how long Stop waits for the loop.
        if (const int result = mosquitto_loop(client_, kLoopWaitMs, 1); result != MOSQ_ERR_SUCCESS) return result;
        if (const int error = DeadHandshakeError(); error != 0) {
            // A reset after the broker took the connection is its TLS
            // breaking off, as libmosquitto says it when it sees it first.
            errno = error == ECONNRESET ? EPROTO : error;
            return MOSQ_ERR_ERRNO;
        }
    }
}

void MqttLink::NoteSocketError(int error) {
    switch (error) {
        case ECONNREFUSED: case ECONNRESET: case ETIMEDOUT: case EHOSTUNREACH: case ENETUNREACH:
            if (attempt_.socketError == 0) attempt_.socketError = error;
            break;
        default:
            break;
    }
}

// libmosquitto 2.0 takes a failed write of the TLS handshake for a
// connection still under way and tries again until the keepalive ends it: a
// connection refused or reset before the handshake ended would show, after
// a keepalive of spinning, as a broker that never answered. The socket then
// reports a hang-up with nothing left to read (an alert would be there).
int MqttLink::DeadHandshakeError() {
    if (settings_.caFile.empty() || attempt_.connected || attempt_.refusal != 0) return 0;
    const int socket = mosquitto_socket(client_);
    if (socket < 0) return 0;
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error != 0) return error;
    pollfd state {socket, POLLIN, 0};
    int unread = 0;
    if (poll(&state, 1, 0) != 1 || (state.revents & (POLLHUP | POLLERR)) == 0 || ioctl(socket, FIONREAD, &unread) != 0 ||
        unread > 0) {
        return 0;
    }
    return attempt_.socketError != 0 ? attempt_.socketError : ECONNRESET;
}

void MqttLink::LoopUntil(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done) {
    while (!done() && std::chrono::steady_clock::now() < deadline) {
        if (mosquitto_loop(client_, kLoopWaitMs, 1) != MOSQ_ERR_SUCCESS) return;
    }
}

void MqttLink::SayOfflineAndDisconnect() {
    bool connected = false;
    {
        std::lock_guard lock(mutex_);
        connected = connected_;
    }
    if (connected) {
        int offlineId = -1;
        const int result = mosquitto_publish(client_, &offlineId, settings_.statusTopic.c_str(),
                                             static_cast<int>(kOffline.size()), kOffline.data(), kReliableQos, true);
        if (result == MOSQ_ERR_SUCCESS) {
            {
                std::lock_guard lock(mutex_);
                offlineMessageId_ = offlineId;
            }
            LoopUntil(std::chrono::steady_clock::now() + kOfflineWait, [&] {
                std::lock_guard lock(mutex_);
                return offlineAcknowledged_ || !connected_;
            });
            std::unique_lock lock(mutex_);
            if (!offlineAcknowledged_) {
                lock.unlock();
                MqttLog(LogLevel::kWarning, "MQTT broker did not acknowledge \"offline\" within a second");
            }
        }
    }
    // Sends DISCONNECT if connected; the socket, whatever its state, goes
    // with the client.
    if (mosquitto_disconnect(client_) == MOSQ_ERR_SUCCESS && connected) {
        LoopUntil(std::chrono::steady_clock::now() + kOfflineWait, [&] {
            std::lock_guard lock(mutex_);
            return !connected_;
        });
    }
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

// libmosquitto reads errno after some callbacks (to tell a socket that
// would block from one that failed): they leave it as they found it.
class ErrnoKept {
public:
    ErrnoKept() : saved_(errno) {}
    ~ErrnoKept() { errno = saved_; }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int saved_;
};

void MqttLink::OnConnect(mosquitto*, void* self, int reason) {
    const ErrnoKept kept;
    static_cast<MqttLink*>(self)->HandleConnect(reason);
}

void MqttLink::OnDisconnect(mosquitto*, void* self, int reason) {
    const ErrnoKept kept;
    static_cast<MqttLink*>(self)->HandleDisconnect(reason);
}

void MqttLink::OnPublish(mosquitto*, void* self, int messageId) {
    const ErrnoKept kept;
    static_cast<MqttLink*>(self)->HandlePublished(messageId);
}

void MqttLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                         const mosquitto_property* properties) {
    const ErrnoKept kept;
    if (message != nullptr) static_cast<MqttLink*>(self)->HandleMessage(*message, properties);
}

void MqttLink::OnSubscribe(mosquitto*, void*, int, int count, const int* grantedQos) {
    const ErrnoKept kept;
    for (int i = 0; i < count && grantedQos != nullptr; ++i) {
        if (grantedQos[i] > 2) {
            MqttLog(LogLevel::kError, "MQTT broker refused a subscription to write requests");
        }
    }
}

void MqttLink::OnLibraryLog(mosquitto*, void* self, int level, const char* text) {
    if (level != MOSQ_LOG_ERR || text == nullptr) return;
    const ErrnoKept kept;
    static_cast<MqttLink*>(self)->HandleLibraryError(text);
}

// libmosquitto tells what OpenSSL refused only in its log, as OpenSSL's
// error string ("OpenSSL Error[0]: error:0A000086:SSL routines::certificate
// verify failed"); a refused client certificate comes as the broker's TLS
// alert ("tlsv13 alert certificate required"). Its own check of the host
// name, where it makes one, comes as a line before.
void MqttLink::HandleLibraryError(const std::string& line) {
    if (line.find("host name verification failed") != std::string::npos) {
        attempt_.hostNameRefused = true;
        return;
    }
    // One reason per attempt, however many lines OpenSSL had.
    if (!line.starts_with("OpenSSL Error") || !attempt_.tlsError.empty()) return;
    std::string reason = line.substr(line.rfind(':') + 1);
    if (reason == "certificate verify failed") {
        // Why: unknown authority, expired, not for this host.
        if (attempt_.hostNameRefused) {
            reason += ": the certificate is not for " + settings_.host;
        } else if (auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(client_)); ssl != nullptr) {
            reason += std::string(": ") + X509_verify_cert_error_string(SSL_get_verify_result(ssl));
        }
    }
    attempt_.tlsError = reason;
}

void MqttLink::HandleConnect(int reason) {
    if (reason != 0) {
        attempt_.refusal = reason;
        // MQTT 3.1.1's 4 and 5, MQTT 5's 134 and 135: bad user name or
        // password, not authorised.
        const bool credentials = reason == 4 || reason == 5 || reason == 134 || reason == 135;
        ReportFailure(credentials ? Failure::kCredentials : Failure::kNetwork,
                      "MQTT broker " + BrokerName() + " refused the " + (credentials ? "credentials" : "connection") +
                          ": " +
                          (settings_.protocol5 ? mosquitto_reason_string(reason) : mosquitto_connack_string(reason)) +
                          Retrying(settings_));
        return;
    }
    attempt_.connected = true;
    tlsReasonReported_ = false;
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
        reportedFailures_.clear();
        // Whatever waited for the old socket went with it.
        unsent_ = 0;
        onlineMessageId_ = onlineId;
    }
    MqttLog(LogLevel::kInfo, "connected to MQTT broker " + BrokerName());
}

// A failed attempt is reported by Run, once the loop returned.
void MqttLink::HandleDisconnect(int reason) {
    const int error = errno;
    bool wasConnected = false;
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        wasConnected = std::exchange(connected_, false);
        stopping = stopping_;
    }
    if (!wasConnected) {
        return;
    }
    if (reason == MOSQ_ERR_SUCCESS || stopping) {
        MqttLog(LogLevel::kInfo, "disconnected from MQTT broker " + BrokerName());
    } else {
        MqttLog(LogLevel::kWarning, "lost MQTT broker " + BrokerName() + ": " + ReasonText(reason, error));
    }
}

void MqttLink::ReportTlsFailure(const std::string& detail) {
    std::string what = "the TLS handshake with MQTT broker " + BrokerName() + " failed";
    if (detail.starts_with("certificate verify failed")) {
        what = "the certificate of MQTT broker " + BrokerName() + " failed the check";
    } else if (detail.find("alert") != std::string::npos &&
               (detail.find("certificate") != std::string::npos || detail.find("unknown ca") != std::string::npos)) {
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

// libmosquitto turns every TLS failure into EPROTO; OpenSSL's reason, if it
// had one, was caught from the library's log. With TLS 1.3 the gateway's
// handshake ends before the broker has looked at its certificate: CONNECT
// goes out, and a refusal comes back as an alert, then the connection
// closes. When the broker closes before the alert has left (CONNECT unread
// in its socket: a reset), the alert is lost and the attempt fails with no
// word from OpenSSL. Such a failure is counted, and logged only if no
// failure with a reason was since the last connection: it is most likely
// that one again.
void MqttLink::ReportAttemptFailure(int result, int error) {
    const bool tls = result == MOSQ_ERR_TLS || result == MOSQ_ERR_TLS_HANDSHAKE ||
                     (result == MOSQ_ERR_ERRNO && error == EPROTO && !settings_.caFile.empty());
    if (!attempt_.tlsError.empty()) {
        tlsReasonReported_ = true;
        ReportTlsFailure(attempt_.tlsError);
    } else if (tls && tlsReasonReported_) {
        std::lock_guard lock(mutex_);
        ++failures_.tls;
    } else if (tls) {
        ReportFailure(Failure::kTls, "MQTT broker " + BrokerName() +
                                         " closed the TLS connection before answering, without a TLS alert (" +
                                         ReasonText(result, error) + ")" + Retrying(settings_));
    } else if (result == MOSQ_ERR_KEEPALIVE) {
        // The broker took the TCP connection and never answered CONNECT.
        ReportFailure(Failure::kNetwork, "MQTT broker " + BrokerName() +
                                             " accepted the connection but sent no CONNACK within " +
                                             std::to_string(settings_.keepaliveSeconds) + " s (the keepalive)" +
                                             Retrying(settings_));
    } else {
        ReportFailure(Failure::kNetwork, "cannot reach MQTT broker " + BrokerName() + " (" +
                                             ReasonText(result, error) + ")" + Retrying(settings_));
    }
}

std::string MqttLink::ReasonText(int reason, int error) {
    if (reason == MOSQ_ERR_ERRNO) return std::strerror(error);
    // libmosquitto 2.0 has no text of its own for this one.
    if (reason == MOSQ_ERR_KEEPALIVE) return "no answer within the keepalive";
    return mosquitto_strerror(reason);
}

void MqttLink::HandlePublished(int messageId) {
    std::lock_guard lock(mutex_);
    if (messageId == offlineMessageId_) {
        offlineAcknowledged_ = true;
    } else if (messageId != onlineMessageId_ && unsent_ > 0) {
        --unsent_;
    }
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
