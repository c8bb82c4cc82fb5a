#include "tools/jwgate/mqtt/mqtt_bridge.h"

#include <nlohmann/json.hpp>

#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/core/counters_text.h"
#include "tools/jwgate/mqtt/discovery.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/mqtt/delivery.h"
#include "tools/jwgate/mqtt/mqtt_link.h"
#include "tools/jwgate/mqtt/publish_rule.h"
#include "tools/jwgate/mqtt/value_payload.h"
#include "tools/jwgate/mqtt/set_result.h"
#include "tools/jwgate/mqtt/station_topics.h"

namespace jwgate {
namespace {

// The outcomes of /set requests on their way from the thread that learnt
// them (the scan's, or the network thread at a refusal) to Tick's, which
// publishes them.
class SetAnswers {
public:
    struct Answer {
        std::string topic;  // SetResultTopic
        std::string payload;
        MqttLink::ReplyTo replyTo;
    };

    void Post(Answer answer) {
        const std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(std::move(answer));
    }
    std::vector<Answer> Take() {
        const std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(waiting_, {});
    }

private:
    std::mutex mutex_;
    std::vector<Answer> waiting_;
};

}  // namespace

// Every member the link's thread uses (through OnSet and the discovery's
// watch) is declared before the link, so it is destroyed after the link's
// thread has ended.
struct MqttBridge::State {
    const std::shared_ptr<const GatewayConfig> configOwned;
    const GatewayConfig& config;  // *configOwned
    PointTable& table;
    WriteQueue& writes;
    const CountersSource counters;
    std::map<std::string, std::size_t> pointOfTopic {};
    std::vector<std::pair<std::string, std::size_t>> topics {};  // (topic, point), in the order Tick goes round
    // By point: its current value is to go out retained (after a connection,
    // or when a value of it went to the backlog for want of room).
    std::vector<bool> currentDue {};
    std::size_t currentsDue = 0;
    std::size_t nextCurrent = 0;  // of topics, where the next look starts
    std::vector<Published> published {};  // as produced, by point
    Clock::time_point countersAt {};
    std::uint64_t connections = 0;  // the link's, as last seen
    std::unique_ptr<Discovery> discovery {};  // with a discovery prefix
    std::function<void(std::uint64_t, const StoredReading&)> shared {};  // ShareReadings's
    bool refusingWrites = false;  // touched only on the link's thread
    bool stopped = false;
    StationStatusTopics stationTopics {config.mqtt.statusTopic};
    const std::shared_ptr<SetAnswers> answers = std::make_shared<SetAnswers>();
    std::unique_ptr<Delivery> delivery {};  // its Acknowledged runs on the link's thread
    std::unique_ptr<MqttLink> link {};  // last: its thread calls into the members above

    // What is due of reading goes into the store, connected or not.
    void ProduceIfDue(std::size_t point, const PointReading& reading, Clock::time_point now) {
        const PointConfig& config = this->config.points[point];
        if ((config.mqttTopic.empty() && !shared) || reading.reads == 0) return;
        const auto period = std::chrono::seconds(this->config.mqtt.publishPeriodSeconds);
        if (!Due(config, reading, published[point], now, period)) return;
        const StoredReading stored = StoredReadingOf(config, reading);
        const StoreLanes lanes = (config.mqttTopic.empty() ? 0 : kJsonLane) | (shared ? kSparkplugLane : 0);
        const std::uint64_t id = delivery->Produce(stored, lanes);
        if (shared) shared(id, stored);
        published[point] = PublishedOf(config, reading, now);
    }
    // Every read the table kept since the last look, then each point as it
    // is now (a quality gone stale, a publish period).
    void Produce(Clock::time_point now) {
        for (const PointChange& change : table.TakeChanges()) ProduceIfDue(change.point, change.reading, now);
        for (std::size_t point = 0; point < config.points.size(); ++point) ProduceIfDue(point, table.Read(point), now);
        for (SetAnswers::Answer& answer : answers->Take()) {
            delivery->Produce(StoredAnswer {std::move(answer.topic), std::move(answer.payload),
                                            std::move(answer.replyTo.correlation), std::move(answer.replyTo.topic)});
        }
    }
    void MarkCurrentDue(std::size_t point) {
        if (!currentDue[point]) ++currentsDue;
        currentDue[point] = true;
    }
    // Each point marked, its value as it is now, retained, before anything
    // of the backlog: after a connection the broker may have lost its
    // retained values (a restart without persistence), and dashboards are
    // right at once. Not kept: the store has the values as they were read.
    // The room left.
    int SendCurrents(int room) {
        const std::size_t count = topics.size();
        for (std::size_t looked = 0; looked < count && room > 0 && currentsDue > 0; ++looked) {
            const auto& [topic, point] = topics[nextCurrent];
            const PointReading reading = table.Read(point);
            // A point not yet read has nothing to say: its first read goes out live.
            if (currentDue[point] && reading.reads > 0) {
                const PointConfig& config = this->config.points[point];
                if (link->PublishTracked(topic, ValuePayload(config, StoredReadingOf(config, reading), false), true) < 0) {
                    break;
                }
                --room;
            }
            if (currentDue[point]) --currentsDue;
            currentDue[point] = false;
            nextCurrent = (nextCurrent + 1) % count;
        }
        return room;
    }

    // Every request gets one answer: at once when it is refused here, from
    // the scan once the write went out, failed or expired.
    void OnSet(const std::string& topic, const std::string& payload, const MqttLink::ReplyTo& replyTo) {
        const auto found = pointOfTopic.find(topic);
        if (found == pointOfTopic.end()) return;
        const PointConfig& point = config.points[found->second];
        const SetRequest request = ParseSetRequest(payload);
        SetResult result {request.id, request.value, std::nullopt, ""};
        const auto warn = [&](const std::string& text) {
            Log(LogLevel::kWarning, "mqtt: " + SetTopic(topic) + ": " + text);
        };
        const auto refuse = [&](const std::string& error) {
            result.error = error;
            answers->Post({SetResultTopic(topic), SetResultJson(point.type, result), replyTo});
        };
        if (!point.writable) {
            warn(point.name + " is not writable");
            return refuse("not writable");
        }
        if (!request.value) {
            warn("not a number, true/false or {\"value\": n, \"id\": ...}");
            return refuse("not a number");
        }
        // The reason names the number, not the payload: a payload may carry
        // line breaks into the log.
        std::string reason;
        const auto raw = RawForValue(point.type, point.scaling, *request.value, &reason);
        if (!raw) {
            warn(reason);
            return refuse("out of range: " + reason);
        }
        result.raw = raw;
        const auto answer = [weak = std::weak_ptr<SetAnswers>(answers), config = configOwned, index = found->second,
                             result, resultTopic = SetResultTopic(topic), replyTo](WriteOutcome outcome) {
            const std::shared_ptr<SetAnswers> alive = weak.lock();
            if (!alive) return;
            const PointConfig& written = config->points[index];
            SetResult told = result;
            told.error = WriteErrorText(outcome, written, config->line.writeTimeoutMs);
            alive->Post({resultTopic, SetResultJson(written.type, told), replyTo});
        };
        // The scan logs a write that fails or waited too long; only a refusal
        // at the door is told here, once per run of them.
        const bool taken = writes.Submit({found->second, *raw, answer});
        if (!taken && !refusingWrites) warn("refused, the write queue is full (or the gateway stopping)");
        refusingWrites = !taken;
    }
};

bool MqttBridge::Available(std::string*) { return true; }

MqttBridge::MqttBridge(std::shared_ptr<const GatewayConfig> owned, PointTable& table, WriteQueue& writes,
                       MessageStore& store, CountersSource counters)
    : state_(new State {owned, *owned, table, writes, std::move(counters)}) {
    const GatewayConfig& config = state_->config;
    state_->published.resize(config.points.size());
    state_->currentDue.resize(config.points.size());
    std::vector<std::string> topics;
    for (std::size_t i = 0; i < config.points.size(); ++i) {
        if (config.points[i].mqttTopic.empty()) continue;
        state_->pointOfTopic[config.points[i].mqttTopic] = i;
        state_->topics.emplace_back(config.points[i].mqttTopic, i);
        topics.push_back(config.points[i].mqttTopic);
    }
    State* state = state_.get();
    state_->link = std::make_unique<MqttLink>(
        config.mqtt, topics, [state](const std::string& topic, const std::string& payload,
                                     const MqttLink::ReplyTo& replyTo) { state->OnSet(topic, payload, replyTo); });
    state_->delivery = std::make_unique<Delivery>(config, store, *state_->link);
    Delivery* delivery = state_->delivery.get();
    state_->link->OnAcknowledged([delivery](int messageId) { delivery->Acknowledged(messageId); });
    // Every read, not only the latest of each point, reaches the store.
    table.KeepChanges();
    if (!config.mqtt.discoveryPrefix.empty()) {
        state_->discovery = std::make_unique<Discovery>(config);
        Discovery* discovery = state_->discovery.get();
        state_->link->WatchRetained(discovery->Filter(), [discovery](const std::string& topic, std::size_t size) {
            discovery->Seen(topic, size);
        });
    }
}

// What Start started ends here too, whoever forgot Stop.
MqttBridge::~MqttBridge() { Stop(); }

MqttStatistics MqttBridge::Statistics() const {
    const MqttLink& link = *state_->link;
    return {link.Connected(), link.SentPublishes(), link.DroppedPublishes(), link.ConnectFailures()};
}

std::uint64_t MqttBridge::Replayed() const { return state_->delivery->Replayed(); }

bool MqttBridge::Start(std::string* error) { return state_->link->Start(error); }

void MqttBridge::ShareReadings(std::function<void(std::uint64_t, const StoredReading&)> sink) {
    state_->shared = std::move(sink);
}

bool MqttBridge::Tick() {
    State& state = *state_;
    const auto period = std::chrono::seconds(state.config.mqtt.publishPeriodSeconds);
    const Clock::time_point now = Clock::now();
    state.Produce(now);
    if (!state.link->Connected()) {
        state.delivery->Disconnected();
        return true;
    }
    if (const std::uint64_t connections = state.link->Connections(); connections != state.connections) {
        state.connections = connections;
        state.delivery->NewConnection();
        for (const auto& [topic, point] : state.topics) state.MarkCurrentDue(point);
        state.countersAt = {};
        if (state.discovery) state.discovery->Restart();
    }
    // No more than the link has room for: what it would drop waits in the
    // store, or (the current values, the counters) for a later Tick.
    int room = state.link->Room();
    // Discovery configs before any value, so that an entity exists when its
    // first value comes.
    if (state.discovery) {
        room = state.discovery->Publish(room, [&state](const std::string& topic, const std::string& payload) {
            return state.link->Publish(topic, payload, true);
        });
        if (!state.discovery->ConfigsOut()) return true;
    }
    room = state.SendCurrents(room);
    room = state.delivery->SendLive(room, [&state](std::size_t point) { state.MarkCurrentDue(point); });
    bool more = state.currentsDue > 0;
    if (!more) more = state.delivery->Replay(room, now);
    if (room > 0 && (state.countersAt == Clock::time_point {} || now - state.countersAt >= period) &&
        state.link->Publish(CountersTopic(state.config.mqtt.statusTopic), CountersJson(state.counters()), true)) {
        state.countersAt = now;
    }
    return more || state.link->Room() == 0;
}

void MqttBridge::PublishStations(const std::vector<StationState>& stations) {
    MqttLink& link = *state_->link;
    if (!link.Connected()) return;
    state_->stationTopics.Publish(stations, link.Connections(), [&link](const std::string& topic,
                                                                       const std::string& payload) {
        return link.Room() > 0 && link.Publish(topic, payload, true);
    });
}

void MqttBridge::Stop() {
    if (std::exchange(state_->stopped, true)) return;
    // The writes the scan dropped on its way out are answered too, now or
    // (kept in the store) after the next start.
    state_->Produce(Clock::now());
    if (state_->link->Connected()) {
        state_->delivery->SendLive(state_->link->Room(), [](std::size_t) {});
        state_->link->Publish(CountersTopic(state_->config.mqtt.statusTopic), CountersJson(state_->counters()), true);
    }
    state_->link->Stop();
}

}  // namespace jwgate
