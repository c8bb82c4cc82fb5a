// Each station's availability on MQTT: "<status topic>/station/<nn>" (nn as
// gate addresses write the station, "01") reads "online" while the station
// answers and "offline" while it is silent, retained. Published when it
// changes and once more on every connection; a station not read yet is not
// published. The transport is a function, so this holds no connection.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "tools/jwgate/core/station_state.h"

namespace jwgate {

class StationStatusTopics {
public:
    // Publishes one retained message; false when the link did not take it.
    using Publisher = std::function<bool(const std::string& topic, const std::string& payload)>;

    explicit StationStatusTopics(std::string statusTopic) : statusTopic_(std::move(statusTopic)) {}

    static std::string TopicOf(const std::string& statusTopic, int station);

    // Publishes what changed since the last call, or every station when
    // connection (the link's count of connections) is not the last one
    // seen. What publish does not take is tried again at the next call.
    void Publish(const std::vector<StationState>& stations, std::uint64_t connection, const Publisher& publish);

private:
    std::string statusTopic_;
    std::uint64_t connection_ = 0;
    std::map<int, bool> published_;  // station: answering, as last published
};

}  // namespace jwgate
