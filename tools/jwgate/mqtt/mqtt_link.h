// jwgate's MQTT client transport: one broker connection that libmosquitto's
// own network thread keeps up, reconnecting with exponential back-off. The
// status topic reads "online" while connected and "offline" after Stop or,
// as the last will, after the process died; point values go out, and
// "<point topic>/set" messages come in as write requests. It logs through
// jwgate::Log, each line starting "mqtt: ".
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/jwgate/config/mqtt_settings.h"
#include "tools/jwgate/core/server_statistics.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace jwgate {

class MqttLink {
public:
    // Called on libmosquitto's network thread with a point topic and the
    // payload's bytes as they came (never a NUL among them). It must not
    // block (queue the write and return): nothing is sent or received while
    // it runs.
    // Where a request's requester wants its answer too: an MQTT 5 response
    // topic and correlation data, both empty for none.
    struct ReplyTo {
        std::string topic;
        std::string correlation;
    };
    using SetHandler =
        std::function<void(const std::string& pointTopic, const std::string& payload, const ReplyTo& replyTo)>;

    // Write requests with longer payloads, or with a NUL byte, are dropped
    // and logged.
    static constexpr std::size_t kMaxSetPayload = 256;
    // Values accepted by Publish but not yet written to the socket; beyond
    // this, Publish drops.
    static constexpr int kMaxUnsentPublishes = 1000;

    // Of settings, publishPeriodSeconds and enabled are not used.
    MqttLink(MqttConfig settings, std::vector<std::string> pointTopics, SetHandler onSet);
    ~MqttLink();  // Stop()
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Checks the settings and starts connecting in the background; a broker
    // that is down is not an error, the link connects when it comes up.
    // False (error, when not null, gets one line) only for unusable settings,
    // a library failure, or a second Start. Start and Stop belong to one
    // thread (the owner's).
    bool Start(std::string* error);

    // Called on the network thread, like SetHandler, with each retained
    // message on topics matching filter, subscribed to on every connection.
    using RetainedHandler = std::function<void(const std::string& topic, std::size_t payloadSize)>;
    // Before Start; one filter per link.
    void WatchRetained(std::string filter, RetainedHandler onRetained);

    // Hands a value to the network thread without waiting for the broker;
    // true when it was queued. Dropped (false) and counted while not
    // connected, when kMaxUnsentPublishes are waiting, or for a topic
    // MqttTopicProblem refuses. Thread-safe.
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    // The answer to a write request, not retained, at QoS 1 (it must not be
    // lost, and no newer one overtakes it); under MQTT 5 with the request's
    // correlation data when it gave some. Dropped like Publish's values.
    bool PublishAnswer(const std::string& topic, const std::string& payload, const std::string& correlation = "");
    // How many values Publish would queue just now: 0 while not connected.
    int Room() const;

    // Publishes "offline", waits up to a second for the broker to acknowledge
    // it, disconnects and ends the network thread. Idempotent; fine before
    // Start. Can take longer while a connection attempt to an unreachable
    // host is under way, or the broker stops reading (up to the keepalive).
    void Stop();

    // Connected to the broker, and not stopped.
    bool Connected() const;
    // Connections made since construction: when it grows, the broker may
    // have lost every retained value (a restart without persistence).
    std::uint64_t Connections() const;
    // Publishes dropped since construction.
    std::uint64_t DroppedPublishes() const;
    // Publishes handed to the broker connection since construction.
    std::uint64_t SentPublishes() const;
    // Connection attempts that failed since construction, by reason.
    MqttConnectFailures ConnectFailures() const;

private:
    static void OnConnect(mosquitto* client, void* self, int reason);
    static void OnDisconnect(mosquitto* client, void* self, int reason);
    static void OnPublish(mosquitto* client, void* self, int messageId);
    static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message,
                          const mosquitto_property* properties);
    static void OnSubscribe(mosquitto* client, void* self, int messageId, int count, const int* grantedQos);
    static void OnLibraryLog(mosquitto* client, void* self, int level, const char* text);

    enum class Failure { kNetwork, kTls, kCredentials };

    void HandleConnect(int reason);
    void HandleDisconnect(int reason);
    void HandlePublished(int messageId);
    void HandleMessage(const mosquitto_message& message, const mosquitto_property* properties);
    bool Send(const std::string& topic, const std::string& payload, int qos, bool retain,
              const std::string& correlation);
    void HandleWatched(const mosquitto_message& message);
    void ReportUnreachable(const std::string& why);
    void ReportAttemptFailure(int reason, int error);  // error: errno just after
    // Counts a failed attempt; logs it unless the same text was logged
    // since the last connection.
    void ReportFailure(Failure kind, const std::string& text);
    void ReportTlsFailure(const std::string& detail);
    void ReportNoConnack();
    void Reconnect(bool networkThreadRuns);
    static bool NetworkThreadGivesUp(int reason);
    static std::string ReasonText(int reason);  // a libmosquitto result, errno for MOSQ_ERR_ERRNO
    bool NoteDrop(const std::string& topic, const std::string& reason);
    void NoteSent();
    std::string BrokerName() const;

    const MqttConfig settings_;
    const std::vector<std::string> pointTopics_;
    const std::map<std::string, std::string> pointOfSetTopic_;  // "<t>/set" -> t
    const SetHandler onSet_;
    std::string watchFilter_;  // set before Start, then only read
    RetainedHandler onRetained_;
    mosquitto* client_ = nullptr;
    std::thread reconnector_;

    // Keeps "online" on a connect and "offline" on Stop in that order.
    std::mutex statusMutex_;

    mutable std::mutex mutex_;  // never held across a libmosquitto call
    std::condition_variable wake_;  // Stop, and the acknowledgement of "offline"
    bool connected_ = false;
    bool stopping_ = false;
    bool stopped_ = false;
    bool loopStarted_ = false;
    bool networkThreadEnds_ = false;  // it gave up after a failure: Reconnect takes over
    bool reportedUnreachable_ = false;  // each once until the next connection
    bool reportedNoConnack_ = false;
    std::set<std::string> reportedFailures_;  // logged since the last connection
    std::string tlsError_;         // what OpenSSL said during the attempt under way
    bool hostNameRefused_ = false;  // libmosquitto found the certificate not for the host
    bool refusedByBroker_ = false;  // the attempt under way got a refusing CONNACK
    MqttConnectFailures failures_;
    int unsent_ = 0;
    int onlineMessageId_ = -1;
    std::vector<int> publishedWhileStopping_;
    std::uint64_t connections_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t droppedInRow_ = 0;
};

}  // namespace jwgate
