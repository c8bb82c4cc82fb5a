#include "tools/jwgate/mqtt/delivery.h"

#include <algorithm>
#include <chrono>
#include <type_traits>
#include <utility>
#include <variant>

#include "tools/jwgate/config/mqtt_topic.h"
#include "tools/jwgate/mqtt/value_payload.h"

namespace jwgate {
namespace {

// The most of the backlog read from the store at once.
constexpr std::size_t kReplayBatch = 256;

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now().time_since_epoch()).count();
}

}  // namespace

Delivery::Delivery(const GatewayConfig& config, MessageStore& store, MqttLink& link)
    : config_(config), store_(store), link_(link), inFlight_(store, kJsonLane), pace_(config.store.replayRate) {
    for (std::size_t i = 0; i < config.points.size(); ++i) {
        if (!config.points[i].mqttTopic.empty()) pointOfName_[config.points[i].name] = i;
    }
}

std::uint64_t Delivery::Produce(StoredReading reading, StoreLanes lanes) {
    StoredMessage message {0, NowMs(), std::move(reading)};
    message.id = store_.Append(std::get<StoredReading>(message.body), lanes);
    const std::uint64_t id = message.id;
    if ((lanes & kJsonLane) == 0) return id;
    liveIds_.insert(id);
    live_.push_back({id, std::move(message)});
    return id;
}

void Delivery::Produce(StoredAnswer answer) {
    StoredMessage message {0, NowMs(), std::move(answer)};
    message.id = store_.Append(std::get<StoredAnswer>(message.body));
    liveIds_.insert(message.id);
    live_.push_back({message.id, std::move(message)});
}

void Delivery::Acknowledged(int messageId) { inFlight_.Acknowledged(messageId); }

void Delivery::NewConnection() {
    inFlight_.Forget();
    Disconnected();
    cursor_ = 0;
    backlogLeft_ = true;
    pace_.Restart();
}

void Delivery::Disconnected() {
    live_.clear();
    liveIds_.clear();
}

bool Delivery::Word(const StoredMessage& message, bool replayed, std::string* topic, std::string* payload) const {
    if (const auto* answer = std::get_if<StoredAnswer>(&message.body)) {
        *topic = answer->topic;
        *payload = replayed ? ReplayedAnswerPayload(answer->payload) : answer->payload;
        return true;
    }
    const auto& reading = std::get<StoredReading>(message.body);
    const auto found = pointOfName_.find(reading.point);
    if (found == pointOfName_.end()) return false;
    const PointConfig& point = config_.points[found->second];
    *topic = replayed ? ReplayTopic(point.mqttTopic) : point.mqttTopic;
    *payload = ValuePayload(point, reading, replayed);
    return true;
}

bool Delivery::Send(const StoredMessage& message, bool replayed) {
    std::string topic;
    std::string payload;
    if (!Word(message, replayed, &topic, &payload)) {
        // A point taken out of the configuration since: nobody is left to
        // tell, and keeping it would hold the backlog forever.
        store_.Acknowledge(message.id);
        return true;
    }
    const auto* answer = std::get_if<StoredAnswer>(&message.body);
    const std::string correlation = answer != nullptr ? answer->correlation : std::string();
    if (!inFlight_.Send({message.id}, [&] {
            return link_.PublishTracked(topic, payload, !replayed && answer == nullptr, correlation);
        })) {
        return false;
    }
    // The requester's own response topic hears a live answer too; not
    // tracked: the answer topic's copy is the one kept.
    if (answer != nullptr && !replayed && !answer->responseTopic.empty()) {
        link_.PublishAnswer(answer->responseTopic, answer->payload, answer->correlation);
    }
    return true;
}

int Delivery::SendLive(int room, const std::function<void(std::size_t point)>& deferred) {
    inFlight_.TakeAcknowledged();
    while (room > 0 && !live_.empty()) {
        if (!Send(live_.front().message, false)) break;
        liveIds_.erase(live_.front().id);
        live_.pop_front();
        --room;
    }
    // What the link has had no room for a while waits in the store: the
    // replay lane takes it once the link has room again.
    while (live_.size() > static_cast<std::size_t>(MqttLink::kMaxUnsentPublishes)) {
        const std::uint64_t id = live_.front().id;
        if (const auto* reading = std::get_if<StoredReading>(&live_.front().message.body)) {
            if (const auto found = pointOfName_.find(reading->point); found != pointOfName_.end()) {
                deferred(found->second);
            }
        }
        liveIds_.erase(id);
        live_.pop_front();
        // The replay may have passed it by while it waited here.
        cursor_ = std::min(cursor_, id - 1);
    }
    return room;
}

bool Delivery::Replay(int room, Clock::time_point now) {
    inFlight_.TakeAcknowledged();
    std::size_t budget = std::min(static_cast<std::size_t>(std::max(room, 0)), pace_.Budget(now));
    if (budget == 0) return backlogLeft_;
    backlogLeft_ = true;
    while (budget > 0) {
        const std::vector<StoredMessage> batch = store_.Unsent(cursor_, kReplayBatch);
        for (const StoredMessage& message : batch) {
            if (budget == 0) return true;
            if (!inFlight_.Contains(message.id) && liveIds_.count(message.id) == 0) {
                if (!Send(message, true)) return true;
                --budget;
                pace_.Spent(1);
                ++replayed_;
            }
            cursor_ = message.id;
        }
        if (batch.size() < kReplayBatch) return backlogLeft_ = false;
    }
    return true;
}

std::uint64_t Delivery::Replayed() const { return replayed_; }

}  // namespace jwgate
