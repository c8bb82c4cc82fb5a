#include "tools/jwgate/config/mqtt_settings.h"

#include <mosquitto.h>

#include <cstdio>

#include "tools/jwgate/config/mqtt_topic.h"

namespace jwgate {
namespace {

// MQTT strings carry a 16-bit length.
constexpr std::size_t kMaxMqttString = 65535;

std::string TextProblem(const std::string& text) {
    if (text.find('\0') != std::string::npos) return "contains a NUL byte";
    if (text.size() > kMaxMqttString) return "is longer than 65535 bytes";
    if (mosquitto_validate_utf8(text.data(), static_cast<int>(text.size())) != MOSQ_ERR_SUCCESS)
        return "is not valid UTF-8";
    return {};
}

}  // namespace

std::string MqttTopicProblem(const std::string& topic) {
    if (auto problem = PublishTopicProblem(topic); !problem.empty()) return problem;
    return TextProblem(topic);
}

std::string CheckMqttSettings(const MqttConfig& settings, const std::vector<std::string>& pointTopics) {
    if (settings.host.empty()) return "MQTT broker host is empty";
    if (settings.host.find('\0') != std::string::npos) return "MQTT broker host contains a NUL byte";
    if (settings.port < 1 || settings.port > 65535)
        return "MQTT broker port " + std::to_string(settings.port) + " is outside 1 to 65535";
    if (settings.keepaliveSeconds < kMinKeepaliveSeconds || settings.keepaliveSeconds > kMaxKeepaliveSeconds)
        return "MQTT keepalive " + std::to_string(settings.keepaliveSeconds) + " s is outside " +
               std::to_string(kMinKeepaliveSeconds) + " to " + std::to_string(kMaxKeepaliveSeconds) + " s";
    if (settings.reconnectMinSeconds < 1 || settings.reconnectMaxSeconds < settings.reconnectMinSeconds)
        return "MQTT reconnect delays " + std::to_string(settings.reconnectMinSeconds) + " to " +
               std::to_string(settings.reconnectMaxSeconds) + " s: the least must be 1 s or more, the most no less";
    if (auto problem = MqttTopicProblem(settings.statusTopic); !problem.empty())
        return "MQTT status topic " + Quoted(settings.statusTopic) + " " + problem;
    for (const auto& topic : pointTopics) {
        // Subscribed to as "<topic>/set", which must fit as well.
        if (auto problem = MqttTopicProblem(topic.empty() ? topic : SetTopic(topic)); !problem.empty())
            return "MQTT point topic " + Quoted(topic) + " " + problem;
    }
    if (auto problem = TextProblem(settings.clientId); !problem.empty()) return "MQTT client id " + problem;
    if (auto problem = TextProblem(settings.username); !problem.empty()) return "MQTT user name " + problem;
    if (settings.password.find('\0') != std::string::npos) return "MQTT password contains a NUL byte";
    if (settings.password.size() > kMaxMqttString) return "MQTT password is longer than 65535 bytes";
    if (settings.username.empty() && !settings.password.empty())
        return "MQTT password given without a user name";
    return {};
}

std::string Quoted(const std::string& text) {
    constexpr std::size_t kShown = 80;
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size() && i < kShown; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte > 0x7e || byte == '"' || byte == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += static_cast<char>(byte);
        }
    }
    out += '"';
    if (text.size() > kShown) out += "...";
    return out;
}

}  // namespace jwgate
