// jwgate's MQTT client transport: one broker connection that the link's own
// thread keeps up, reconnecting with exponential back-off. The
// status topic reads "online" while connected and "offline" after Stop or,
// as the last will, after the process died; point values go out, and
// "<point topic>/set" messages come in as write requests. An owner may give
// its own last word instead of the status topic's, and subscriptions of its
// own (the Sparkplug B session does both). It logs through
// jwgate::Log, each line starting "mqtt: ".
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tools/jwgate/config/mqtt_settings.h"
#include "tools/jwgate/core/server_statistics.h"
#include "tools/jwgate/mqtt/mqtt_diagnosis.h"

struct mosquitto;
struct mosquitto_message;
struct mqtt5__property;
typedef struct mqtt5__property mosquitto_property;

namespace jwgate {

class MqttLink {
public:
    // Called on the link's thread with a point topic and the
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
    // Messages on Subscribe's filters with longer payloads are dropped and logged.
    static constexpr std::size_t kMaxMessagePayload = 64 * 1024;
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

    // Called on the link's thread, like SetHandler, with each retained
    // message on topics matching filter, subscribed to on every connection.
    using RetainedHandler = std::function<void(const std::string& topic, std::size_t payloadSize)>;
    // Before Start; one filter per link.
    void WatchRetained(std::string filter, RetainedHandler onRetained);

    // Hands a value to the link's thread without waiting for the broker;
    // true when it was queued. Dropped (false) and counted while not
    // connected, when kMaxUnsentPublishes are waiting, or for a topic
    // MqttTopicProblem refuses. Thread-safe.
    bool Publish(const std::string& topic, const std::string& payload, bool retain);
    // The answer to a write request, not retained, at QoS 1 (it must not be
    // lost, and no newer one overtakes it); under MQTT 5 with the request's
    // correlation data when it gave some. Dropped like Publish's values.
    bool PublishAnswer(const std::string& topic, const std::string& payload, const std::string& correlation = "");
    // A message that must not be lost, at QoS 1: its message id, which
    // OnAcknowledged hears once the broker has it, or -1 when refused as
    // Publish's values are (not counted as dropped: the caller keeps it and
    // sends it again). An id is unique among those not yet acknowledged.
    int PublishTracked(const std::string& topic, const std::string& payload, bool retain,
                       const std::string& correlation = "");
    // Called on the link's thread with the message id of each QoS 1 message
    // the broker acknowledged; it must not block. Before Start.
    using AckHandler = std::function<void(int messageId)>;
    void OnAcknowledged(AckHandler handler) { onAcknowledged_ = std::move(handler); }
    // What the link says when it goes: its will, and what Stop (or
    // Reconnect) publishes at QoS 1 and waits for.
    struct LastWord {
        std::string topic;
        std::string payload;
        bool retain = false;
    };
    // Before Start: instead of the status topic's "online"/"offline", the
    // last word lastWord gives, asked again before every connection attempt
    // (a will may differ from one connection to the next); nothing is
    // published on connection. Called on Start's thread, then the link's.
    void SpeakFor(std::function<LastWord()> lastWord);
    // Called on the link's thread with each message on a topic matching one
    // of filters (subscribed to at QoS 1 on every connection, before the
    // link counts as connected); it must not block. Before Start.
    using MessageHandler = std::function<void(const std::string& topic, const std::string& payload)>;
    void Subscribe(std::vector<std::string> filters, MessageHandler onMessage);
    // Ends the connection as Stop would (the last word first), then
    // connects again after the least back-off. Thread-safe.
    void Reconnect();

    // How many values Publish would queue just now: 0 while not connected.
    int Room() const;

    // Publishes "offline", waits up to a second for the broker to acknowledge
    // it, disconnects (up to another second) and ends the link's thread,
    // whatever it was doing: connecting, a TLS handshake, waiting to retry.
    // Idempotent; fine before Start. Only a name lookup under way (a host
    // name, not an address, in the settings) can hold it longer.
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

    // What the connection attempt under way came to; the link's thread's
    // alone (every libmosquitto callback runs on it).
    struct Attempt {
        bool connected = false;
        int refusal = 0;          // the broker's CONNACK code, when it refused
        std::string tlsError;     // what OpenSSL said, first line only
        bool hostNameRefused = false;
        int socketError = 0;      // the first the socket reported
    };
    // How Serve ended: Stop, or the connection's end.
    struct ServeEnd {
        bool stopped = false;
        CallResult failure;  // when not stopped
    };

    // Start's parts: the client made and set up (empty, or why not), its
    // options, and its callbacks.
    std::string SetUpClient();
    int ConfigureClient();
    void SetCallbacks();
    void DestroyClient();
    // The link's thread: connects, runs libmosquitto's loop, waits out the
    // back-off and reconnects until Stop; then says "offline" and
    // disconnects. first: what Start's connect call came to.
    void Run(CallResult first);
    // Runs the loop until the connection ends or Stop.
    ServeEnd Serve();
    // Waits delay, or less for Stop: true when stopped.
    bool WaitOrStop(std::chrono::seconds delay);
    // A connect or reconnect call's result, noted and, if failed, reported.
    void NoteConnectCall(const CallResult& call);
    void SayOfflineAndDisconnect();
    void NoteSocketError(int error);
    // Non-zero (an errno) when a TLS attempt's socket died before the
    // handshake ended.
    int DeadHandshakeError();
    // Runs the loop until done() or the deadline.
    void LoopUntil(std::chrono::steady_clock::time_point deadline, const std::function<bool()>& done);
    bool StopRequested() const;

    void HandleConnect(int reason);
    void HandleDisconnect(const CallResult& reason);
    void HandlePublished(int messageId);
    void HandleMessage(const mosquitto_message& message, const mosquitto_property* properties);
    // The message id, or -1 when dropped (counted and logged, unless kept:
    // the caller keeps it and sends it again).
    int Send(const std::string& topic, const std::string& payload, int qos, bool retain,
             const std::string& correlation, bool kept = false);
    void HandleWatched(const mosquitto_message& message);
    void HandleSubscribed(const mosquitto_message& message);
    bool TakeReconnect();
    // The last word of the next connection, set as its will; false when the
    // library refused it.
    bool SetWill();
    bool Subscribed(const std::string& topic) const;
    void HandleLibraryError(const std::string& line);
    // Logs (once) and counts an attempt that ended before the broker took it.
    void ReportAttemptFailure(const CallResult& end);
    // Counts a failed attempt; logs its line unless empty or the same line
    // was logged since the last connection.
    void Report(const Diagnosis& diagnosis);
    // Counts and logs a dropped message; -1, Send's "dropped".
    int NoteDrop(const std::string& topic, const std::string& reason);
    void NoteSent();

    const MqttConfig settings_;
    const std::vector<std::string> pointTopics_;
    const std::set<std::string> pointTopicSet_;  // the same, to find a "/set"'s point
    const SetHandler onSet_;
    std::string watchFilter_;  // set before Start, then only read
    RetainedHandler onRetained_;
    AckHandler onAcknowledged_;  // set before Start, then only called
    std::function<LastWord()> lastWordSource_;  // set before Start; empty: the status topic's
    LastWord lastWord_;  // of the connection now; the link's thread's after Start
    std::vector<std::string> filters_;  // set before Start, then only read
    MessageHandler onMessage_;
    mosquitto* client_ = nullptr;  // destroyed only after the thread ended
    Attempt attempt_;  // the thread's
    bool tlsReasonReported_ = false;  // the thread's: since the last connection

    mutable std::mutex mutex_;  // never held across a libmosquitto call
    std::condition_variable wake_;  // Stop
    bool connected_ = false;
    bool stopping_ = false;
    bool reconnecting_ = false;
    std::set<std::string> reportedFailures_;  // logged since the last connection
    MqttConnectFailures failures_;
    int unsent_ = 0;
    int onlineMessageId_ = -1;
    int offlineMessageId_ = -1;
    bool offlineAcknowledged_ = false;
    std::uint64_t connections_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t sent_ = 0;
    std::uint64_t droppedInRow_ = 0;
    // Last, so that everything its thread uses outlives it.
    std::thread thread_;
};

}  // namespace jwgate
