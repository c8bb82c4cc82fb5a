// What the MQTT link connects to, where it reports, and the checks made on
// settings and topics before anything reaches the broker.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace jwgate {

// Log levels, numbered as syslog's priorities.
namespace log_level {
inline constexpr int kError = 3;
inline constexpr int kWarning = 4;
inline constexpr int kInfo = 6;
}  // namespace log_level

using LogSink = std::function<void(int level, const std::string& text)>;

// "error", "warning", "info", or "level N" for any other number.
std::string LevelName(int level);
// Writes "jwgate: <level name>: <text>" and a newline to standard error.
void LogToStderr(int level, const std::string& text);

struct MqttSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;     // empty: the library makes up a random one
    std::string statusTopic;  // "online" while connected, "offline" (retained, also the last will)
    int keepaliveSeconds = 30;
    std::string username, password;  // no user name: no credentials are sent
    int reconnectMinSeconds = 1, reconnectMaxSeconds = 30;
    // Called from the publishing thread and from the link's network thread
    // alike: it must be thread-safe and quick. Empty: LogToStderr.
    LogSink log = LogToStderr;
};

// Empty when the topic can be published to and subscribed to literally;
// otherwise what is wrong with it, e.g. `contains "#"`.
std::string MqttTopicProblem(const std::string& topic);

// Empty when Start can use these; otherwise one line saying what is wrong.
std::string CheckMqttSettings(const MqttSettings& settings, const std::vector<std::string>& pointTopics);

// text in double quotes for a log line: bytes outside printable ASCII, '"'
// and '\' escaped as \xNN, cut after 80 bytes with "..." after the quote.
std::string Quoted(const std::string& text);

}  // namespace jwgate
