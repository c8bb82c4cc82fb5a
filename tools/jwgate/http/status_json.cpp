#include "tools/jwgate/http/status_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>

#include "tools/common/time_text.h"
#include "tools/jwgate/core/point_value_json.h"

namespace jwgate {
namespace {

using nlohmann::json;

double SecondsBetween(WallClock::time_point from, WallClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// The edge node's session: its ids, state, counts and topics.
json Sparkplug(const GatewaySnapshot& snapshot) {
    const SparkplugConfig& config = snapshot.config->sparkplug;
    const SparkplugStatistics& node = snapshot.sparkplug;
    return {{"group_id", config.groupId},  {"edge_node_id", config.edgeNodeId},
            {"primary_host_id", config.primaryHostId}, {"connected", node.connected},
            {"born", node.born},            {"bd_seq", node.bdSeq},
            {"births", node.births},        {"deaths", node.deaths},
            {"commands", node.commands},    {"refused_commands", node.refusedCommands},
            {"topics", node.topics}};
}

json Stations(const GatewaySnapshot& snapshot) {
    json stations = json::array();
    for (const StationState& station : snapshot.stations) {
        json entry {{"station", StationName(station.station)}, {"answering", station.answering}};
        entry["last_answer_age_s"] = station.lastAnswer == WallClock::time_point {}
                                         ? json(nullptr)
                                         : json(SecondsBetween(station.lastAnswer, snapshot.takenAt));
        stations.push_back(std::move(entry));
    }
    return stations;
}

std::chrono::milliseconds HealthWindow(const GatewaySnapshot& snapshot) {
    int shortest = 86400000;
    for (const PointConfig& point : snapshot.config->points) shortest = std::min(shortest, point.intervalMs);
    const auto interval = std::max(std::chrono::milliseconds(shortest),
                                   std::chrono::milliseconds(static_cast<long long>(snapshot.counters.lastScanMs)));
    return std::max(3 * interval, std::chrono::milliseconds(5000));
}

json Store(const GatewaySnapshot& snapshot) {
    if (!snapshot.storeEnabled) return nullptr;
    const StoreStatistics& store = snapshot.store;
    return {{"persistent", store.persistent},
            {"backlog", store.backlog},
            {"backlog_age_s", store.backlogAgeSeconds},
            {"dropped", store.dropped},
            {"fault", store.fault}};
}

}  // namespace

std::string StatusJson(const GatewaySnapshot& snapshot) {
    json points = json::array();
    const auto& configs = snapshot.config->points;
    for (std::size_t i = 0; i < configs.size(); ++i) {
        const PointReading& reading = snapshot.points[i];
        points.push_back({{"name", configs[i].name},
                          {"address", configs[i].gas},
                          {"type", ValueTypeName(configs[i].type)},
                          {"value", PointValueJson(configs[i].type, configs[i].scaling, configs[i].precision, reading)},
                          {"unit", configs[i].unit},
                          {"quality", QualityName(reading.quality)},
                          {"age_s", reading.everGood ? json(SecondsBetween(reading.lastGood, snapshot.takenAt))
                                                     : json(nullptr)}});
    }
    const ScanCounters& c = snapshot.counters;
    const AttemptCounts& attempts = snapshot.line.attempts;
    std::uint64_t refused = 0;
    for (const auto& [status, count] : attempts.refused) refused += count;
    json frames = json::array();
    for (const LoggedFrame& frame : snapshot.line.frames) {
        frames.push_back({{"time", kel::tools::TimeOfDay(frame.at)}, {"direction", frame.sent ? "<" : ">"}, {"text", frame.text}});
    }
    json document {
        {"port", snapshot.config->line.port},
        {"port_open", c.portOpen},
        {"healthy", Healthy(snapshot)},
        {"points", std::move(points)},
        {"counters",
         {{"scans", c.scans},
          {"exchanges", c.exchanges},
          {"failures", c.failures},
          {"no_reply", attempts.noReply},
          {"damaged_reply", attempts.damaged},
          {"refused", refused},
          {"writes", c.writes},
          {"write_failures", c.writeFailures},
          {"writes_dropped", c.writesDropped},
          {"last_scan_ms", c.lastScanMs},
          {"max_scan_ms", c.maxScanMs}}},
        {"stations", Stations(snapshot)},
        {"frames", std::move(frames)},
        {"store", Store(snapshot)},
    };
    if (snapshot.sparkplugEnabled) document["sparkplug"] = Sparkplug(snapshot);
    // Frames may hold any byte the line carried; they are escaped already.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

bool Healthy(const GatewaySnapshot& snapshot) {
    const AttemptCounts& attempts = snapshot.line.attempts;
    return snapshot.counters.portOpen && attempts.everAnswered &&
           Clock::now() - attempts.lastAnswer <= HealthWindow(snapshot);
}

std::string HealthJson(const GatewaySnapshot& snapshot) {
    const AttemptCounts& attempts = snapshot.line.attempts;
    json stationsAnswering = json::array();
    for (const StationState& station : snapshot.stations) {
        if (station.answering) stationsAnswering.push_back(StationName(station.station));
    }
    const json document {
        {"status", Healthy(snapshot) ? "ok" : "failing"},
        {"port_open", snapshot.counters.portOpen},
        {"scans", snapshot.counters.scans},
        {"last_scan_ms", snapshot.counters.lastScanMs},
        {"last_answer_age_s", attempts.everAnswered
                                  ? json(std::chrono::duration<double>(Clock::now() - attempts.lastAnswer).count())
                                  : json(nullptr)},
        {"stations_answering", std::move(stationsAnswering)},
        {"backlog", snapshot.store.backlog},
    };
    return document.dump();
}

}  // namespace jwgate
