#include "tools/jwgate/sparkplug/edge_node.h"

#include <chrono>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/core/scaling.h"

namespace jwgate::sparkplug {
namespace {

// The line's counters go out as NDATA no more often than this.
constexpr auto kCountersPeriod = std::chrono::seconds(1);
// The most readings one historical DDATA carries.
constexpr std::size_t kMostPerHistoricalData = 100;

void SparkplugLog(LogLevel level, const std::string& text) { Log(level, "sparkplug: " + text); }

std::int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(WallClock::now().time_since_epoch()).count();
}

MqttConfig SessionSettings(const GatewayConfig& config) {
    MqttConfig settings = config.mqtt;
    settings.clientId = config.sparkplug.clientId;
    return settings;
}

}  // namespace

EdgeNode::EdgeNode(std::shared_ptr<const GatewayConfig> config, WriteQueue& writes, MessageStore& store,
                   ChangeSignal& wake)
    : config_(std::move(config)), writes_(writes), store_(store), session_(config_->sparkplug, config_->points),
      delivery_(config_->store, store) {
    link_ = std::make_unique<MqttLink>(SessionSettings(*config_), std::vector<std::string> {}, nullptr);
    link_->OnAcknowledged([this](int messageId) { delivery_.Acknowledged(messageId); });
    link_->SpeakFor([this] { return NextLastWord(); });
    link_->Subscribe(session_.Subscriptions(), [this, &wake](const std::string& topic, const std::string& payload) {
        {
            const std::lock_guard lock(mutex_);
            received_.push_back({topic, payload});
        }
        wake.Notify();
    });
    for (const PointConfig& point : config_->points) {
        stationOfPoint_[point.name] = point.item.station;
        if (unread_.insert(point.name).second) ++unreadOfStation_[point.item.station];
    }
    const SparkplugConfig& node = config_->sparkplug;
    statistics_.topics = {TopicOf({MessageType::kNBirth, node.groupId, node.edgeNodeId, "", ""}),
                          TopicOf({MessageType::kDBirth, node.groupId, node.edgeNodeId, "<device>", ""})};
    for (const std::string& topic : session_.Subscriptions()) statistics_.topics.push_back(topic);
}

EdgeNode::~EdgeNode() { Stop(); }

bool EdgeNode::Start(std::string* error) { return link_->Start(error); }

// Before every connection attempt: the next bdSeq, kept before the broker
// can hear of it, so that a restart never gives a host the same one twice.
// On the link's thread: of the session it reads only Will, which looks at
// nothing but the configuration.
MqttLink::LastWord EdgeNode::NextLastWord() {
    const std::optional<std::int64_t> last = store_.Kept(kBdSeqName);
    const std::uint64_t bdSeq = last ? NextBdSeq(static_cast<std::uint64_t>(*last)) : 0;
    store_.Keep(kBdSeqName, static_cast<std::int64_t>(bdSeq));
    bdSeq_ = bdSeq;
    const Outgoing will = session_.Will(bdSeq, NowMs());
    return {will.topic, will.payload, will.retain};
}

void EdgeNode::Produced(std::uint64_t id, const StoredReading& reading) {
    if (unread_.erase(reading.point) > 0) --unreadOfStation_[stationOfPoint_[reading.point]];
    readings_.push_back(reading);
    readingIds_.push_back(id);
}

bool EdgeNode::Tick(const std::vector<StationState>& stations, const ScanCounters& counters) {
    if (stopped_) return false;
    const std::int64_t now = NowMs();
    FollowConnection(now);
    std::vector<Received> received;
    {
        const std::lock_guard lock(mutex_);
        received.swap(received_);
    }
    for (const Received& message : received) {
        if (message.topic.find("CMD/") != std::string::npos) {
            const std::lock_guard lock(mutex_);
            ++statistics_.commands;
        }
        Apply(session_.Received(message.topic, message.payload, now));
    }
    // The readings first: a station's birth then carries the values of the
    // read that found it answering.
    const std::vector<std::uint64_t> ids = std::exchange(readingIds_, {});
    Apply(session_.Values(std::exchange(readings_, {}), now), &ids);
    FollowStations(stations, now);
    if (Clock::now() - countersAt_ >= kCountersPeriod) {
        countersAt_ = Clock::now();
        Apply(session_.Counters(counters, now));
    }
    bool historyLeft = false;
    if (session_.Born() && link_->Connected()) {
        historyLeft = delivery_.Replay(Clock::now(), [this, now](const std::vector<StoredMessage>& backlog) {
            return SendHistory(backlog, now);
        });
    }
    return historyLeft || !link_->Connected();
}

std::size_t EdgeNode::SendHistory(const std::vector<StoredMessage>& backlog, std::int64_t nowMs) {
    std::size_t done = 0;
    while (done < backlog.size()) {
        const auto* first = std::get_if<StoredReading>(&backlog[done].body);
        const auto station = first != nullptr ? stationOfPoint_.find(first->point) : stationOfPoint_.end();
        if (station == stationOfPoint_.end()) {
            // A point taken out of the configuration since: nobody is left
            // to tell, and keeping it would hold the backlog forever.
            store_.Acknowledge(backlog[done++].id, kSparkplugLane);
            continue;
        }
        std::vector<StoredReading> run;
        std::vector<std::uint64_t> ids;
        for (std::size_t i = done; i < backlog.size() && run.size() < kMostPerHistoricalData; ++i) {
            const auto* reading = std::get_if<StoredReading>(&backlog[i].body);
            const auto found = reading != nullptr ? stationOfPoint_.find(reading->point) : stationOfPoint_.end();
            if (found == stationOfPoint_.end() || found->second != station->second) break;
            run.push_back(*reading);
            ids.push_back(backlog[i].id);
        }
        // Half the link's room stays for the live values: a DDATA refused
        // would still have taken a seq.
        if (link_->Room() <= MqttLink::kMaxUnsentPublishes / 2) return done;
        // Nothing published: the station is not born; its readings wait
        // for its birth.
        const SessionOutput output = session_.History(run, nowMs);
        for (const Outgoing& message : output.publish) {
            if (!PublishCarrying(message, ids)) return done;
        }
        done += run.size();
    }
    return done;
}

void EdgeNode::FollowConnection(std::int64_t nowMs) {
    const bool connected = link_->Connected();
    const std::uint64_t connections = link_->Connections();
    if (connected && connections != connections_) {
        connections_ = connections;
        delivery_.NewConnection();
        Apply(session_.Connected(bdSeq_, nowMs));
    } else if (!connected && connected_) {
        session_.Disconnected();
    }
    connected_ = connected;
    const std::lock_guard lock(mutex_);
    statistics_.connected = connected;
    statistics_.born = session_.Born();
    statistics_.bdSeq = bdSeq_;
}

void EdgeNode::FollowStations(const std::vector<StationState>& stations, std::int64_t nowMs) {
    for (const StationState& station : stations) {
        if (!station.tried || unreadOfStation_[station.station] > 0) continue;
        Apply(station.answering ? session_.StationUp(station.station, nowMs)
                                : session_.StationDown(station.station, nowMs));
    }
}

void EdgeNode::Apply(const SessionOutput& output, const std::vector<std::uint64_t>* ids) {
    for (const Outgoing& message : output.publish) {
        if (ids == nullptr || message.carries.empty()) {
            Publish(message, output.disconnect);
            continue;
        }
        std::vector<std::uint64_t> carried;
        for (const std::size_t index : message.carries) carried.push_back((*ids)[index]);
        // Refused: the readings stay the store's, sent as history later.
        PublishCarrying(message, std::move(carried));
    }
    for (const CommandRefusal& refusal : output.refusals) Refused(refusal);
    for (const PointWrite& write : output.writes) Write(write);
    if (!output.disconnect) return;
    {
        const std::lock_guard lock(mutex_);
        ++statistics_.deaths;
        statistics_.born = false;
    }
    // The link says the NDEATH it was given as its will, then connects
    // again with the next bdSeq and waits for the host.
    if (!stopped_) link_->Reconnect();
}

void EdgeNode::Publish(const Outgoing& message, bool ending) {
    const auto topic = ParseTopic(message.topic);
    if (!topic) return;
    if (ending && topic->type == MessageType::kNDeath) return;  // the link's last word
    if (!link_->Publish(message.topic, message.payload, message.retain)) return;
    // A birth makes a station able to take the history held for it.
    if (topic->type == MessageType::kNBirth || topic->type == MessageType::kDBirth) delivery_.Born();
    const std::lock_guard lock(mutex_);
    if (topic->type == MessageType::kNBirth || topic->type == MessageType::kDBirth) ++statistics_.births;
    if (topic->type == MessageType::kDDeath) ++statistics_.deaths;
}

bool EdgeNode::PublishCarrying(const Outgoing& message, std::vector<std::uint64_t> ids) {
    return delivery_.Send(std::move(ids), [&] { return link_->PublishTracked(message.topic, message.payload, false); });
}

void EdgeNode::Refused(const CommandRefusal& refusal) {
    SparkplugLog(LogLevel::kWarning, "refused a command" +
                                         (refusal.metric.empty() ? std::string() : " to " + refusal.metric) + ": " +
                                         refusal.reason);
    const std::lock_guard lock(mutex_);
    ++statistics_.refusedCommands;
}

// As a /set: the point's range first; the outcome is the point's next
// DDATA, read back from the controller.
void EdgeNode::Write(const PointWrite& write) {
    const PointConfig& point = config_->points[write.point];
    std::string reason;
    const auto raw = RawForValue(point.type, point.scaling, write.value, &reason);
    if (!raw) return Refused({point.name, "out of range: " + reason});
    const std::string name = point.name;
    if (!writes_.Submit({write.point, *raw, [name](WriteOutcome outcome) {
            if (outcome.cause == WriteCause::kQueueFull || outcome.cause == WriteCause::kStopping) {
                SparkplugLog(LogLevel::kWarning, "write to " + name + " refused: the write queue is full or stopping");
            }
        }})) {
        const std::lock_guard lock(mutex_);
        ++statistics_.refusedCommands;
    }
}

void EdgeNode::Stop() {
    if (std::exchange(stopped_, true)) return;
    Apply(session_.Stop(NowMs()));
    link_->Stop();
}

SparkplugStatistics EdgeNode::Statistics() const {
    const std::lock_guard lock(mutex_);
    return statistics_;
}

}  // namespace jwgate::sparkplug
