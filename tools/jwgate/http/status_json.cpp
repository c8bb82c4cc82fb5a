#include "tools/jwgate/http/status_json.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "tools/jwgate/core/value_type.h"

namespace jwgate {
namespace {

using nlohmann::json;

double SecondsBetween(WallClock::time_point from, WallClock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

// "13:45:01.123", local time, as kelhost --trace shows frames.
std::string TimeOfDay(WallClock::time_point when) {
    const std::time_t seconds = WallClock::to_time_t(when);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    std::tm local {};
    localtime_r(&seconds, &local);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

json ValueOf(const PointConfig& point, const PointReading& reading) {
    if (!reading.everGood) return nullptr;
    const double number = NumberOf(point.type, reading.raw);
    if (point.type == ValueType::kFloat) return number;
    return static_cast<std::int64_t>(number);
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

}  // namespace

std::string StatusJson(const GatewaySnapshot& snapshot) {
    json points = json::array();
    const auto& configs = snapshot.config->points;
    for (std::size_t i = 0; i < configs.size(); ++i) {
        const PointReading& reading = snapshot.points[i];
        points.push_back({{"name", configs[i].name},
                          {"address", configs[i].gas},
                          {"type", ValueTypeName(configs[i].type)},
                          {"value", ValueOf(configs[i], reading)},
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
        frames.push_back({{"time", TimeOfDay(frame.at)}, {"direction", frame.sent ? "<" : ">"}, {"text", frame.text}});
    }
    const json document {
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
    };
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
    };
    return document.dump();
}

}  // namespace jwgate
