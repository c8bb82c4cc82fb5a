// The rule every MQTT topic of the gateway follows, whatever names it (the
// status topic, a point's topic, the discovery prefix), and the one place
// the topics it derives from them are built and read back:
//   <point topic>/set             a write to the point comes in
//   <point topic>/set/result      its answer goes out
//   <point topic>/replay          the point's values the broker missed, late
//   <status topic>/counters       the scan's counters
//   <status topic>/station/<nn>   each station's "online"/"offline"
// The configuration's checks and the MQTT side both use these, so a topic
// the gateway publishes or subscribes to is the one the checks kept apart.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace jwgate {

// Keepalives the gateway asks of a broker, in seconds.
inline constexpr int kMinKeepaliveSeconds = 5;
inline constexpr int kMaxKeepaliveSeconds = 3600;

// Empty when the gateway may publish to topic and subscribe to it literally;
// otherwise what is wrong with it, worded to follow the quoted topic:
// `contains "#"`. Topics starting with "$" ($SYS) are the broker's own and
// take no publishes.
inline std::string PublishTopicProblem(std::string_view topic) {
    if (topic.empty()) return "is empty";
    if (topic[0] == '$') return "starts with \"$\", kept for the broker's own topics";
    if (topic.find('+') != std::string_view::npos) return "contains \"+\"";
    if (topic.find('#') != std::string_view::npos) return "contains \"#\"";
    return {};
}

namespace topic_layout {
inline constexpr std::string_view kSet = "/set";
inline constexpr std::string_view kResult = "/result";
inline constexpr std::string_view kReplay = "/replay";
inline constexpr std::string_view kCounters = "/counters";
inline constexpr std::string_view kStation = "/station/";
}  // namespace topic_layout

// Where writes to the point with this topic come in.
inline std::string SetTopic(std::string_view pointTopic) {
    return std::string(pointTopic) + std::string(topic_layout::kSet);
}
// Where the answers to those writes go.
inline std::string SetResultTopic(std::string_view pointTopic) {
    return SetTopic(pointTopic) + std::string(topic_layout::kResult);
}
// Where the point's backlog goes, never retained.
inline std::string ReplayTopic(std::string_view pointTopic) {
    return std::string(pointTopic) + std::string(topic_layout::kReplay);
}
// Where the scan's counters go.
inline std::string CountersTopic(std::string_view statusTopic) {
    return std::string(statusTopic) + std::string(topic_layout::kCounters);
}
// Where a station's "online"/"offline" goes; station as gate addresses write it ("01").
inline std::string StationTopic(std::string_view statusTopic, std::string_view station) {
    return std::string(statusTopic) + std::string(topic_layout::kStation) + std::string(station);
}
// Whether topic lies where the stations' statuses go.
inline bool IsStationTopic(std::string_view statusTopic, std::string_view topic) {
    return topic.starts_with(StationTopic(statusTopic, ""));
}
// The point topic whose writes topic carries: "a/b" for "a/b/set"; nothing
// for a topic that is no "/set".
inline std::optional<std::string> PointTopicOfSet(std::string_view topic) {
    if (topic.size() <= topic_layout::kSet.size() || !topic.ends_with(topic_layout::kSet)) return std::nullopt;
    return std::string(topic.substr(0, topic.size() - topic_layout::kSet.size()));
}

// What the gateway already uses a topic for, from the status topic and the
// points' topics, so that each topic has one meaning.
class TopicUses {
public:
    // points: (point name, its topic), the topic empty for a point without one.
    TopicUses(std::string statusTopic, const std::vector<std::pair<std::string, std::string>>& points)
        : status_(std::move(statusTopic)) {
        for (const auto& [name, topic] : points) {
            if (topic.empty()) continue;
            writes_.emplace(SetTopic(topic), name);
            answers_.emplace(SetResultTopic(topic), name);
            replays_.emplace(ReplayTopic(topic), name);
        }
    }

    // Empty when the gateway derives nothing at topic; otherwise what it
    // uses it for, worded to follow the quoted topic: `is where writes to p
    // come in`.
    std::string DerivedUseOf(const std::string& topic) const {
        if (topic == CountersTopic(status_)) return "is where the counters go";
        if (IsStationTopic(status_, topic)) return "is where the stations' statuses go";
        if (const auto set = writes_.find(topic); set != writes_.end()) {
            return "is where writes to " + set->second + " come in";
        }
        if (const auto result = answers_.find(topic); result != answers_.end()) {
            return "is where writes to " + result->second + " are answered";
        }
        if (const auto replay = replays_.find(topic); replay != replays_.end()) {
            return "is where " + replay->second + "'s missed values are replayed";
        }
        return {};
    }
    // The same, and the status topic itself: what a point's topic must not be.
    std::string UseOf(const std::string& topic) const {
        return topic == status_ ? "is also the status topic" : DerivedUseOf(topic);
    }

private:
    std::string status_;
    std::map<std::string, std::string> writes_;   // "<topic>/set" -> point name
    std::map<std::string, std::string> answers_;  // "<topic>/set/result" -> point name
    std::map<std::string, std::string> replays_;  // "<topic>/replay" -> point name
};

}  // namespace jwgate
