// The rule every MQTT topic of the gateway follows, whatever names it: the
// status topic, a point's topic, the discovery prefix.
#pragma once

#include <string>
#include <string_view>

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

}  // namespace jwgate
