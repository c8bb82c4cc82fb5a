#include "tools/jwgate/mqtt/mqtt_bridge.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <map>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "tools/common/time_text.h"
#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/core/counters_text.h"
#include "tools/jwgate/core/point_value_json.h"
#include "tools/jwgate/mqtt/discovery.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/mqtt/mqtt_link.h"
#include "tools/jwgate/mqtt/set_result.h"
#include "tools/jwgate/mqtt/station_topics.h"

namespace jwgate {
namespace {

std::string PayloadOf(const PointConfig& point, const PointReading& reading) {
    nlohmann::json json;
    json["value"] = PointValueJson(point.type, point.scaling, point.precision, reading);
    json["quality"] = QualityName(reading.quality);
    json["timestamp"] = reading.everGood ? nlohmann::json(kel::tools::IsoTime(reading.lastGood)) : nlohmann::json(nullptr);
    if (!point.unit.empty()) json["unit"] = point.unit;
    // The configuration's text is UTF-8 already; a stray byte is replaced
    // rather than the value lost.
    return json.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

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

struct Published {
    bool ever = false;
    std::uint64_t changes = 0;
    std::uint64_t reads = 0;
    Quality quality = Quality::kBad;
    Clock::time_point at {};
    bool hasValue = false;
    double value = 0;  // as published
};

// Whether reading is due for publishing, last being what went out before.
bool Due(const PointConfig& point, const PointReading& reading, const Published& last, Clock::time_point now,
         Clock::duration period) {
    if (!last.ever || reading.quality != last.quality || now - last.at >= period) return true;
    if (point.publishMode == PublishMode::kEveryRead) return reading.reads != last.reads;
    if (reading.changes == last.changes) return false;
    if (!last.hasValue) return reading.everGood;
    const double value = ShownValue(point.type, point.scaling, point.precision, reading.raw);
    // A deadband of 0 still takes only a real change of raw (changes above).
    return std::fabs(value - last.value) >= point.deadband;
}

}  // namespace

// Every member the link's thread uses (through OnSet and the discovery's
// watch) is declared before the link, so it is destroyed after the link's
// thread has ended.
struct MqttBridge::State {
    const std::shared_ptr<const GatewayConfig> configOwned;
    const GatewayConfig& config;  // *configOwned
    const PointTable& table;
    WriteQueue& writes;
    const CountersSource counters;
    std::map<std::string, std::size_t> pointOfTopic {};
    std::vector<std::pair<std::string, std::size_t>> topics {};  // (topic, point), in the order Tick goes round
    std::size_t nextTopic = 0;  // where the next Tick starts
    std::vector<Published> published {};
    Clock::time_point countersAt {};
    std::uint64_t connections = 0;  // the link's, as last seen
    std::unique_ptr<Discovery> discovery {};  // with a discovery prefix
    bool refusingWrites = false;  // touched only on the link's thread
    StationStatusTopics stationTopics {config.mqtt.statusTopic};
    const std::shared_ptr<SetAnswers> answers = std::make_shared<SetAnswers>();
    std::unique_ptr<MqttLink> link {};  // last: its thread calls into the members above

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

MqttBridge::MqttBridge(std::shared_ptr<const GatewayConfig> owned, const PointTable& table, WriteQueue& writes,
                       CountersSource counters)
    : state_(new State {owned, *owned, table, writes, std::move(counters)}) {
    const GatewayConfig& config = state_->config;
    state_->published.resize(config.points.size());
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

bool MqttBridge::Start(std::string* error) { return state_->link->Start(error); }

bool MqttBridge::Tick() {
    State& state = *state_;
    const auto period = std::chrono::seconds(state.config.mqtt.publishPeriodSeconds);
    const Clock::time_point now = Clock::now();
    // Nothing is sent while the broker is away: what changed meanwhile goes
    // out when it is back.
    if (!state.link->Connected()) return true;
    PublishAnswers();
    // Each connection may be to a broker that kept no retained value (one
    // restarted without persistence): every point goes out once more.
    if (const std::uint64_t connections = state.link->Connections(); connections != state.connections) {
        state.connections = connections;
        for (Published& last : state.published) last.ever = false;
        state.countersAt = {};
        if (state.discovery) state.discovery->Restart();
    }
    // No more than the link has room for: a value it would drop stays due and
    // goes at a later Tick, once the link's thread has made room.
    int room = state.link->Room();
    // Discovery configs before any value, so that an entity exists when its
    // first value comes.
    if (state.discovery) {
        room = state.discovery->Publish(room, [&state](const std::string& topic, const std::string& payload) {
            return state.link->Publish(topic, payload, true);
        });
        if (!state.discovery->ConfigsOut()) return true;
    }
    const std::size_t count = state.topics.size();
    std::size_t looked = 0;
    for (; looked < count && room > 0; ++looked) {
        const auto& [topic, point] = state.topics[(state.nextTopic + looked) % count];
        const PointReading reading = state.table.Read(point);
        Published& last = state.published[point];
        const PointConfig& config = state.config.points[point];
        if (!Due(config, reading, last, now, period)) continue;
        // Refused only when the connection went just now (topics are
        // checked at Start): the rest wait for the next connection.
        if (!state.link->Publish(topic, PayloadOf(config, reading), true)) break;
        --room;
        last = {true, reading.changes, reading.reads, reading.quality, now, reading.everGood,
                reading.everGood ? ShownValue(config.type, config.scaling, config.precision, reading.raw) : 0};
    }
    // The next Tick goes on where this one ran out of room, so that the
    // points at the front cannot keep the others waiting.
    if (count > 0) state.nextTopic = (state.nextTopic + looked) % count;
    if (room > 0 && (state.countersAt == Clock::time_point {} || now - state.countersAt >= period) &&
        state.link->Publish(CountersTopic(state.config.mqtt.statusTopic), CountersJson(state.counters()), true)) {
        state.countersAt = now;
    }
    return looked < count || room == 0;
}

void MqttBridge::PublishStations(const std::vector<StationState>& stations) {
    MqttLink& link = *state_->link;
    if (!link.Connected()) return;
    state_->stationTopics.Publish(stations, link.Connections(), [&link](const std::string& topic,
                                                                       const std::string& payload) {
        return link.Room() > 0 && link.Publish(topic, payload, true);
    });
}

void MqttBridge::PublishAnswers() {
    MqttLink& link = *state_->link;
    for (const SetAnswers::Answer& answer : state_->answers->Take()) {
        link.PublishAnswer(answer.topic, answer.payload, answer.replyTo.correlation);
        if (!answer.replyTo.topic.empty()) {
            link.PublishAnswer(answer.replyTo.topic, answer.payload, answer.replyTo.correlation);
        }
    }
}

void MqttBridge::Stop() {
    if (state_->link->Connected()) {
        // The writes the scan dropped on its way out are answered too.
        PublishAnswers();
        state_->link->Publish(CountersTopic(state_->config.mqtt.statusTopic), CountersJson(state_->counters()), true);
    }
    state_->link->Stop();
}

}  // namespace jwgate
