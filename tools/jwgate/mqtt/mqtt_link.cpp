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
#include <optional>
#include <utility>

#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/core/backoff.h"
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

void MqttLog(LogLevel level, const std::string& text) { Log(level, "mqtt: " + text); }

bool LibraryReady() {
    // Process-wide and never undone: other links may live on.
    static const int result = mosquitto_lib_init();
    return result == MOSQ_ERR_SUCCESS;
}

// A libmosquitto call's result and the errno it left, taken at once.
template <typename Call>
CallResult Called(Call call) {
    errno = 0;
    const int result = call();
    return {result, errno};
}

}  // namespace

MqttLink::MqttLink(MqttConfig settings, std::vector<std::string> pointTopics, SetHandler onSet)
    : settings_(std::move(settings)),
      pointTopics_(std::move(pointTopics)),
      pointTopicSet_(pointTopics_.begin(), pointTopics_.end()),
      onSet_(std::move(onSet)) {}

void MqttLink::SpeakFor(std::function<LastWord()> lastWord) { lastWordSource_ = std::move(lastWord); }

void MqttLink::Subscribe(std::vector<std::string> filters, MessageHandler onMessage) {
    filters_ = std::move(filters);
    onMessage_ = std::move(onMessage);
}

void MqttLink::Reconnect() {
    {
        std::lock_guard lock(mutex_);
        if (!connected_) return;
        reconnecting_ = true;
    }
    wake_.notify_all();
}

bool MqttLink::SetWill() {
    lastWord_ = lastWordSource_ ? lastWordSource_() : LastWord {settings_.statusTopic, kOffline, true};
    return mosquitto_will_set(client_, lastWord_.topic.c_str(), static_cast<int>(lastWord_.payload.size()),
                              lastWord_.payload.data(), kReliableQos, lastWord_.retain) == MOSQ_ERR_SUCCESS;
}

bool MqttLink::Subscribed(const std::string& topic) const {
    for (const std::string& filter : filters_) {
        bool matches = false;
        if (mosquitto_topic_matches_sub(filter.c_str(), topic.c_str(), &matches) == MOSQ_ERR_SUCCESS && matches) {
            return true;
        }
    }
    return false;
}

MqttLink::~MqttLink() {
    Stop();
    DestroyClient();
}

bool MqttLink::Start(std::string* error) {
    auto refuse = [&](const std::string& why) {
        if (error != nullptr) *error = why;
        return false;
    };
    if (const std::string problem = SetUpClient(); !problem.empty()) return refuse(problem);
    // Does not wait for the broker (the TCP connection and TLS handshake go
    // on in the loop); only a host name is looked up here.
    const CallResult first = Called([&] {
        return mosquitto_connect_async(client_, settings_.host.c_str(), settings_.port, settings_.keepaliveSeconds);
    });
    if (first.result == MOSQ_ERR_INVAL || first.result == MOSQ_ERR_NOMEM) {
        DestroyClient();
        return refuse("cannot connect to MQTT broker " + BrokerName(settings_) + ": " +
                      mosquitto_strerror(first.result));
    }
    NoteConnectCall(first);
    thread_ = std::thread(&MqttLink::Run, this, first);
    return true;
}

std::string MqttLink::SetUpClient() {
    if (client_ != nullptr) return "MQTT link already started";
    if (auto problem = CheckMqttSettings(settings_, pointTopics_); !problem.empty()) return problem;
    if (!LibraryReady()) return "MQTT library failed to initialise";
    errno = 0;
    client_ = mosquitto_new(settings_.clientId.empty() ? nullptr : settings_.clientId.c_str(), true, this);
    if (client_ == nullptr) return std::string("cannot create an MQTT client: ") + std::strerror(errno);
    if (const int result = ConfigureClient(); result != MOSQ_ERR_SUCCESS) {
        DestroyClient();
        return std::string("cannot set up the MQTT client: ") + mosquitto_strerror(result);
    }
    SetCallbacks();
    return {};
}

int MqttLink::ConfigureClient() {
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
    if (result == MOSQ_ERR_SUCCESS && !SetWill()) result = MOSQ_ERR_INVAL;
    // The messages that must not be lost may all be in flight at once: a
    // distant broker's round trip then does not cap the replay's rate.
    if (result == MOSQ_ERR_SUCCESS) result = mosquitto_max_inflight_messages_set(client_, kMaxUnsentPublishes);
    // Publish, from other threads, then only queues and wakes the loop: the
    // link's thread alone reads and writes the socket.
    if (result == MOSQ_ERR_SUCCESS) result = mosquitto_threaded_set(client_, true);
    return result;
}

void MqttLink::SetCallbacks() {
    mosquitto_connect_callback_set(client_, OnConnect);
    mosquitto_disconnect_callback_set(client_, OnDisconnect);
    mosquitto_publish_callback_set(client_, OnPublish);
    mosquitto_message_v5_callback_set(client_, OnMessage);
    mosquitto_subscribe_callback_set(client_, OnSubscribe);
    mosquitto_log_callback_set(client_, OnLibraryLog);
}

void MqttLink::DestroyClient() {
    if (client_ != nullptr) mosquitto_destroy(client_);
    client_ = nullptr;
}

void MqttLink::NoteConnectCall(const CallResult& call) {
    NoteSocketError(call.error);
    if (!call.ok()) ReportAttemptFailure(call);
}

// Values go at QoS 0: only a point's latest value matters, so nothing is kept
// to be sent again after a reconnect, where it could overtake a newer value.
// libmosquitto's in-flight window only bounds QoS 1 and 2 and queues the rest
// without limit, so the link counts what is still waiting for the socket
// (libmosquitto reports QoS 0 publishes once written) and drops beyond that.
bool MqttLink::Publish(const std::string& topic, const std::string& payload, bool retain) {
    return Send(topic, payload, 0, retain, "") >= 0;
}

bool MqttLink::PublishAnswer(const std::string& topic, const std::string& payload, const std::string& correlation) {
    return Send(topic, payload, kReliableQos, false, correlation) >= 0;
}

int MqttLink::PublishTracked(const std::string& topic, const std::string& payload, bool retain,
                             const std::string& correlation) {
    return Send(topic, payload, kReliableQos, retain, correlation, true);
}

int MqttLink::Send(const std::string& topic, const std::string& payload, int qos, bool retain,
                   const std::string& correlation, bool kept) {
    if (auto problem = MqttTopicProblem(topic); !problem.empty()) return NoteDrop(topic, "topic " + problem);
    if (payload.size() > static_cast<std::size_t>(INT_MAX)) return NoteDrop(topic, "payload too large");
    int messageId = -1;
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
    // A message its sender keeps until it is acknowledged is not lost when
    // the connection went just now: it goes again on the next.
    if (refusal != nullptr) return kept ? -1 : NoteDrop(topic, refusal);
    // Properties exist only in MQTT 5; libmosquitto refuses them otherwise.
    mosquitto_property* properties = nullptr;
    int result = MOSQ_ERR_SUCCESS;
    if (settings_.protocol5 && !correlation.empty()) {
        result = mosquitto_property_add_binary(&properties, MQTT_PROP_CORRELATION_DATA, correlation.data(),
                                               static_cast<std::uint16_t>(correlation.size()));
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_publish_v5(client_, &messageId, topic.c_str(), static_cast<int>(payload.size()),
                                      payload.data(), qos, retain, properties);
    }
    mosquitto_property_free_all(&properties);
    if (result == MOSQ_ERR_SUCCESS) {
        NoteSent();
        return messageId;
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
void MqttLink::Run(CallResult first) {
    const Backoff backoff {std::chrono::seconds(settings_.reconnectMinSeconds),
                           std::chrono::seconds(settings_.reconnectMaxSeconds)};
    auto delay = backoff.first;
    CallResult call = first;
    for (;;) {
        if (call.ok()) {
            const ServeEnd end = Serve();
            if (end.stopped || StopRequested()) break;
            if (attempt_.connected) {
                delay = backoff.first;
            } else if (attempt_.refusal == 0) {
                ReportAttemptFailure(end.failure);
            }
        }
        if (WaitOrStop(delay)) break;
        delay = backoff.After(delay);
        attempt_ = {};
        if (!SetWill()) MqttLog(LogLevel::kError, "cannot set the will of " + Quoted(lastWord_.topic));
        call = Called([&] { return mosquitto_reconnect_async(client_); });
        NoteConnectCall(call);
    }
    SayOfflineAndDisconnect();
}

bool MqttLink::WaitOrStop(std::chrono::seconds delay) {
    std::unique_lock lock(mutex_);
    return wake_.wait_for(lock, delay, [&] { return stopping_; });
}

MqttLink::ServeEnd MqttLink::Serve() {
    for (;;) {
        if (StopRequested()) return {true, {}};
        if (TakeReconnect()) {
            SayOfflineAndDisconnect();
            return {false, {}};
        }
        // Bounds how long Stop waits for the loop.
        const CallResult loop = Called([&] { return mosquitto_loop(client_, kLoopWaitMs, 1); });
        NoteSocketError(loop.error);
        if (!loop.ok()) return {false, loop};
        if (const int error = DeadHandshakeError(); error != 0) {
            // A reset after the broker took the connection is its TLS
            // breaking off, as libmosquitto says it when it sees it first.
            return {false, {MOSQ_ERR_ERRNO, error == ECONNRESET ? EPROTO : error}};
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
        const int result = mosquitto_publish(client_, &offlineId, lastWord_.topic.c_str(),
                                             static_cast<int>(lastWord_.payload.size()), lastWord_.payload.data(),
                                             kReliableQos, lastWord_.retain);
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
                MqttLog(LogLevel::kWarning, "MQTT broker did not acknowledge " + Quoted(lastWord_.topic) +
                                                " within a second");
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
    // libmosquitto says a socket's failure (MOSQ_ERR_ERRNO) in errno.
    static_cast<MqttLink*>(self)->HandleDisconnect({reason, errno});
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

void MqttLink::HandleLibraryError(const std::string& line) {
    const LibraryLogNote note = ReadLibraryLog(line);
    if (note.hostNameRefused) attempt_.hostNameRefused = true;
    // One reason per attempt, however many lines OpenSSL had.
    if (note.opensslReason.empty() || !attempt_.tlsError.empty()) return;
    std::string verifyResult;
    if (auto* ssl = static_cast<SSL*>(mosquitto_ssl_get(client_));
        ssl != nullptr && IsVerifyFailure(note.opensslReason)) {
        verifyResult = X509_verify_cert_error_string(SSL_get_verify_result(ssl));
    }
    attempt_.tlsError = TlsReason(note.opensslReason, attempt_.hostNameRefused, settings_.host, verifyResult);
}

void MqttLink::HandleConnect(int reason) {
    if (reason != 0) {
        attempt_.refusal = reason;
        Report(DiagnoseRefusal(settings_, reason));
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
    for (const std::string& filter : filters_) {
        if (const int result = mosquitto_subscribe(client_, nullptr, filter.c_str(), kReliableQos);
            result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError, "cannot subscribe to " + Quoted(filter) + ": " + mosquitto_strerror(result));
        }
    }
    // Subscribed before "online", so that "online" means writes are heard.
    for (const std::string& point : pointTopics_) {
        const std::string setTopic = SetTopic(point);
        if (const int result = mosquitto_subscribe(client_, nullptr, setTopic.c_str(), kReliableQos);
            result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError, "cannot subscribe to " + Quoted(setTopic) + ": " + mosquitto_strerror(result));
        }
    }
    int onlineId = -1;
    // An owner with a last word of its own says what it has to once it sees the connection.
    if (!lastWordSource_) {
        if (const int result = mosquitto_publish(client_, &onlineId, settings_.statusTopic.c_str(),
                                                 static_cast<int>(kOnline.size()), kOnline.data(), kReliableQos, true);
            result != MOSQ_ERR_SUCCESS) {
            MqttLog(LogLevel::kError, std::string("cannot publish \"online\": ") + mosquitto_strerror(result));
        }
    }
    {
        std::lock_guard lock(mutex_);
        connected_ = true;
        ++connections_;
        reportedFailures_.clear();
        // Whatever waited for the old socket went with it.
        unsent_ = 0;
        onlineMessageId_ = onlineId;
        offlineMessageId_ = -1;
        offlineAcknowledged_ = false;
    }
    MqttLog(LogLevel::kInfo, "connected to MQTT broker " + BrokerName(settings_));
}

// A failed attempt is reported by Run, once the loop returned.
void MqttLink::HandleDisconnect(const CallResult& reason) {
    bool wasConnected = false;
    bool stopping = false;
    {
        std::lock_guard lock(mutex_);
        wasConnected = std::exchange(connected_, false);
        reconnecting_ = false;
        stopping = stopping_;
    }
    if (!wasConnected) {
        return;
    }
    if (reason.ok() || stopping) {
        MqttLog(LogLevel::kInfo, "disconnected from MQTT broker " + BrokerName(settings_));
    } else {
        MqttLog(LogLevel::kWarning, "lost MQTT broker " + BrokerName(settings_) + ": " + ResultText(reason));
    }
}

void MqttLink::Report(const Diagnosis& diagnosis) {
    {
        std::lock_guard lock(mutex_);
        ++(diagnosis.reason == ConnectFailure::kTls           ? failures_.tls
           : diagnosis.reason == ConnectFailure::kCredentials ? failures_.credentials
                                                              : failures_.network);
        if (diagnosis.line.empty() || stopping_ || !reportedFailures_.insert(diagnosis.line).second) return;
    }
    MqttLog(LogLevel::kWarning, diagnosis.line);
}

void MqttLink::ReportAttemptFailure(const CallResult& end) {
    Report(DiagnoseAttempt(settings_, {end, attempt_.tlsError, tlsReasonReported_}));
    if (!attempt_.tlsError.empty()) tlsReasonReported_ = true;
}

void MqttLink::HandlePublished(int messageId) {
    {
        std::lock_guard lock(mutex_);
        if (messageId == offlineMessageId_) {
            offlineAcknowledged_ = true;
            return;
        }
        if (messageId == onlineMessageId_) return;
        if (unsent_ > 0) --unsent_;
    }
    // QoS 0 messages are reported too, once written: the handler knows its own ids.
    if (onAcknowledged_) onAcknowledged_(messageId);
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
    const std::string topic = message.topic;
    if (onMessage_ && Subscribed(topic)) {
        HandleSubscribed(message);
        return;
    }
    const std::optional<std::string> point = PointTopicOfSet(topic);
    if (!point || !pointTopicSet_.contains(*point)) {
        HandleWatched(message);
        return;
    }
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
        onSet_(*point, payload, ReplyToOf(properties));
    } catch (const std::exception& exception) {
        MqttLog(LogLevel::kError, "write request on " + Quoted(topic) + " failed: " + exception.what());
    } catch (...) {
        MqttLog(LogLevel::kError, "write request on " + Quoted(topic) + " failed");
    }
}

void MqttLink::HandleSubscribed(const mosquitto_message& message) {
    const auto size = static_cast<std::size_t>(std::max(message.payloadlen, 0));
    if (size > kMaxMessagePayload) {
        MqttLog(LogLevel::kWarning, "dropped a message of " + std::to_string(size) + " bytes on " +
                                     Quoted(message.topic) + " (at most " + std::to_string(kMaxMessagePayload) + ")");
        return;
    }
    std::string payload;
    if (size > 0 && message.payload != nullptr) payload.assign(static_cast<const char*>(message.payload), size);
    onMessage_(message.topic, payload);
}

bool MqttLink::TakeReconnect() {
    std::lock_guard lock(mutex_);
    return std::exchange(reconnecting_, false);
}

int MqttLink::NoteDrop(const std::string& topic, const std::string& reason) {
    bool first = false;
    {
        std::lock_guard lock(mutex_);
        ++dropped_;
        first = ++droppedInRow_ == 1;
    }
    // One line per run of drops, not one per value.
    if (first) MqttLog(LogLevel::kWarning, "dropping MQTT publishes (first to " + Quoted(topic) + "): " + reason);
    return -1;
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

}  // namespace jwgate
