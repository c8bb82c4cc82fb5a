#include "tools/jwgate/sparkplug/edge_session.h"

#include <map>
#include <nlohmann/json.hpp>
#include <utility>

namespace jwgate::sparkplug {

EdgeSession::EdgeSession(SparkplugConfig config, std::vector<PointConfig> points)
    : config_(std::move(config)), points_(std::move(points)), hostOnline_(config_.primaryHostId.empty()) {
    for (std::size_t index = 0; index < points_.size(); ++index) {
        pointNamed_.emplace(points_[index].name, index);
        stations_.insert(points_[index].item.station);
        latest_.push_back({points_[index].name, std::nullopt, Quality::kBad, 0});
    }
}

Topic EdgeSession::NodeTopicOf(MessageType type) const { return {type, config_.groupId, config_.edgeNodeId, "", ""}; }

Topic EdgeSession::DeviceTopicOf(MessageType type, int station) const {
    return {type, config_.groupId, config_.edgeNodeId, DeviceIdOf(station), ""};
}

std::vector<std::string> EdgeSession::Subscriptions() const {
    std::vector<std::string> topics = {TopicOf(NodeTopicOf(MessageType::kNCmd)),
                                       TopicOf(DeviceTopicOf(MessageType::kDCmd, 0))};
    // Every device's commands: the device level as a wildcard.
    topics[1] = topics[1].substr(0, topics[1].rfind('/') + 1) + "+";
    if (!config_.primaryHostId.empty()) topics.push_back(TopicOf({MessageType::kState, "", "", "", config_.primaryHostId}));
    return topics;
}

Outgoing EdgeSession::Will(std::uint64_t bdSeq, std::int64_t nowMs) const {
    return {TopicOf(NodeTopicOf(MessageType::kNDeath)), NodeDeathPayload(bdSeq, nowMs).SerializeAsString(), 1, false};
}

Outgoing& EdgeSession::Add(SessionOutput& output, const Topic& topic, Payload payload, bool numbered) {
    if (numbered) {
        payload.set_seq(nextSeq_);
        nextSeq_ = (nextSeq_ + 1) % 256;
    }
    return output.publish.emplace_back(Outgoing {TopicOf(topic), payload.SerializeAsString(), 0, false});
}

void EdgeSession::Births(SessionOutput& output, std::int64_t nowMs) {
    if (!connected_ || !hostOnline_) return;
    nextSeq_ = 0;  // NBIRTH is seq 0
    Add(output, NodeTopicOf(MessageType::kNBirth), NodeBirthPayload(bdSeq_, counters_, nowMs), true);
    sentCounters_ = counters_;
    born_ = true;
    for (const int station : answering_) DeviceBirth(output, station, nowMs);
}

void EdgeSession::DeviceBirth(SessionOutput& output, int station, std::int64_t nowMs) {
    std::vector<PointReadingRef> metrics;
    for (std::size_t index = 0; index < points_.size(); ++index) {
        if (points_[index].item.station == station) metrics.push_back({&points_[index], latest_[index]});
    }
    Add(output, DeviceTopicOf(MessageType::kDBirth, station), DeviceBirthPayload(metrics, nowMs), true);
}

void EdgeSession::DeviceData(SessionOutput& output, const std::vector<StoredReading>& readings, std::int64_t nowMs,
                             bool historical) {
    std::map<int, std::vector<PointReadingRef>> byStation;
    std::map<int, std::vector<std::size_t>> carried;
    for (std::size_t i = 0; i < readings.size(); ++i) {
        const StoredReading& reading = readings[i];
        const auto point = pointNamed_.find(reading.point);
        if (point == pointNamed_.end()) continue;
        const PointConfig& config = points_[point->second];
        if (!historical) latest_[point->second] = reading;
        if (born_ && answering_.contains(config.item.station)) {
            byStation[config.item.station].push_back({&config, reading});
            carried[config.item.station].push_back(i);
        } else if (historical) {
            output.held.push_back(reading);
        }
    }
    for (const auto& [station, metrics] : byStation) {
        Outgoing& data = Add(output, DeviceTopicOf(MessageType::kDData, station),
                             DeviceDataPayload(metrics, nowMs, historical), true);
        data.qos = 1;
        data.carries = std::move(carried[station]);
    }
}

// NDEATH and the end of the connection: the session is over once it asks
// for that, whatever arrives before the caller has disconnected.
void EdgeSession::Death(SessionOutput& output, std::int64_t nowMs) {
    if (connected_) output.publish.push_back(Will(bdSeq_, nowMs));
    output.disconnect = connected_;
    connected_ = false;
    born_ = false;
}

SessionOutput EdgeSession::Connected(std::uint64_t bdSeq, std::int64_t nowMs) {
    SessionOutput output;
    connected_ = true;
    born_ = false;
    // A primary host's STATE is heard again on every connection (retained):
    // births wait for it, so that a host that is back later than the node
    // (a restarted broker) is subscribed when they come.
    hostOnline_ = config_.primaryHostId.empty();
    bdSeq_ = bdSeq;
    Births(output, nowMs);
    return output;
}

void EdgeSession::Disconnected() {
    connected_ = false;
    born_ = false;
}

SessionOutput EdgeSession::Received(std::string_view topicText, std::string_view payload, std::int64_t nowMs) {
    SessionOutput output;
    const auto topic = ParseTopic(topicText);
    if (!topic || !connected_) return output;
    if (topic->type == MessageType::kState) {
        if (topic->hostId == config_.primaryHostId && !config_.primaryHostId.empty()) HostState(output, payload, nowMs);
    } else if (topic->group == config_.groupId && topic->edgeNode == config_.edgeNodeId) {
        Command(output, *topic, payload, nowMs);
    }
    return output;
}

// {"online": true|false, "timestamp": <ms>}: a STATE older than the newest
// taken (a retained one from before) changes nothing.
void EdgeSession::HostState(SessionOutput& output, std::string_view payload, std::int64_t nowMs) {
    const nlohmann::json state = nlohmann::json::parse(payload, nullptr, false);
    if (!state.is_object() || !state.contains("online") || !state["online"].is_boolean() ||
        !state.contains("timestamp") || !state["timestamp"].is_number_integer()) {
        output.refusals.push_back({"STATE", "not a host state: {\"online\": true|false, \"timestamp\": ms}"});
        return;
    }
    const auto timestamp = state["timestamp"].get<std::int64_t>();
    if (hostStateMs_ && timestamp < *hostStateMs_) return;
    hostStateMs_ = timestamp;
    hostOnline_ = state["online"].get<bool>();
    if (hostOnline_ && !born_) Births(output, nowMs);
    if (!hostOnline_ && born_) Death(output, nowMs);
}

void EdgeSession::Command(SessionOutput& output, const Topic& topic, std::string_view payload, std::int64_t nowMs) {
    if (topic.type == MessageType::kNCmd) {
        const auto command = ParseNodeCommand(payload);
        if (!command) {
            output.refusals.push_back({"", "NCMD: not a Sparkplug B payload"});
            return;
        }
        output.refusals.insert(output.refusals.end(), command->refusals.begin(), command->refusals.end());
        if (command->rebirth) Births(output, nowMs);
        return;
    }
    if (topic.type != MessageType::kDCmd) return;
    const auto station = StationOfDeviceId(topic.device);
    if (!station || !stations_.contains(*station)) {
        output.refusals.push_back({"", "DCMD: no device " + topic.device});
        return;
    }
    if (auto command = ParseDeviceCommand(payload, *station, points_)) {
        output.writes = std::move(command->writes);
        output.refusals = std::move(command->refusals);
    } else {
        output.refusals.push_back({"", "DCMD: not a Sparkplug B payload"});
    }
}

SessionOutput EdgeSession::StationUp(int station, std::int64_t nowMs) {
    SessionOutput output;
    if (!stations_.contains(station) || !answering_.insert(station).second) return output;
    if (born_) DeviceBirth(output, station, nowMs);
    return output;
}

SessionOutput EdgeSession::StationDown(int station, std::int64_t nowMs) {
    SessionOutput output;
    if (answering_.erase(station) == 0) return output;
    if (born_) Add(output, DeviceTopicOf(MessageType::kDDeath, station), DeviceDeathPayload(nowMs), true);
    return output;
}

SessionOutput EdgeSession::Values(const std::vector<StoredReading>& readings, std::int64_t nowMs) {
    SessionOutput output;
    DeviceData(output, readings, nowMs, false);
    return output;
}

SessionOutput EdgeSession::History(const std::vector<StoredReading>& readings, std::int64_t nowMs) {
    SessionOutput output;
    DeviceData(output, readings, nowMs, true);
    return output;
}

SessionOutput EdgeSession::Counters(const ScanCounters& counters, std::int64_t nowMs) {
    SessionOutput output;
    counters_ = counters;
    if (!born_) return output;
    Payload data = NodeDataPayload(counters_, sentCounters_, nowMs);
    if (data.metrics_size() == 0) return output;
    Add(output, NodeTopicOf(MessageType::kNData), std::move(data), true);
    sentCounters_ = counters_;
    return output;
}

SessionOutput EdgeSession::Stop(std::int64_t nowMs) {
    SessionOutput output;
    Death(output, nowMs);
    return output;
}

}  // namespace jwgate::sparkplug
