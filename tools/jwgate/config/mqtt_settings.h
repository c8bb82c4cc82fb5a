// The checks made on the MQTT settings and topics before anything reaches
// the broker, and topics quoted for the log.
#pragma once

#include <string>
#include <vector>

#include "tools/jwgate/config/config.h"

namespace jwgate {

// Empty when the topic can be published to and subscribed to literally;
// otherwise what is wrong with it, e.g. `contains "#"`. Topics starting with
// "$" ($SYS) are the broker's own.
std::string MqttTopicProblem(const std::string& topic);

// Empty when the link can use these; otherwise one line saying what is wrong.
// publish_period_s and enabled are the bridge's, not looked at here.
std::string CheckMqttSettings(const MqttConfig& settings, const std::vector<std::string>& pointTopics);

// text in double quotes for a log line: bytes outside printable ASCII, '"'
// and '\' escaped as \xNN, cut after 80 bytes with "..." after the quote.
std::string Quoted(const std::string& text);

}  // namespace jwgate
