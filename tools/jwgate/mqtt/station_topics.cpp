#include "tools/jwgate/mqtt/station_topics.h"

#include "tools/jwgate/config/mqtt_topic.h"

namespace jwgate {

std::string StationStatusTopics::TopicOf(const std::string& statusTopic, int station) {
    return StationTopic(statusTopic, StationName(station));
}

void StationStatusTopics::Publish(const std::vector<StationState>& stations, std::uint64_t connection,
                                  const Publisher& publish) {
    // A new connection may be to a broker that lost every retained message.
    if (connection != connection_) {
        connection_ = connection;
        published_.clear();
    }
    for (const StationState& station : stations) {
        if (!station.tried) continue;
        const auto last = published_.find(station.station);
        if (last != published_.end() && last->second == station.answering) continue;
        if (!publish(TopicOf(statusTopic_, station.station), station.answering ? "online" : "offline")) return;
        published_[station.station] = station.answering;
    }
}

}  // namespace jwgate
