#include "tools/jwgate/http/gateway_metrics.h"

#include <cstdio>
#include <string>

#include <prometheus/client_metric.h>
#include <prometheus/metric_type.h>

#include "tools/jwgate/core/scaling.h"

namespace jwgate {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;
using Labels = std::vector<ClientMetric::Label>;

class Families {
public:
    // A family without samples yet; they follow with Sample().
    void Family(const std::string& name, MetricType type, const char* help) {
        families_.push_back({"jwgate_" + name, help, type, {}});
    }
    // A sample of the last family begun.
    void Sample(Labels labels, double value) {
        MetricFamily& family = families_.back();
        ClientMetric metric;
        metric.label = std::move(labels);
        if (family.type == MetricType::Counter) {
            metric.counter.value = value;
        } else {
            metric.gauge.value = value;
        }
        family.metric.push_back(std::move(metric));
    }
    // A family of one sample without labels.
    void Single(const std::string& name, MetricType type, const char* help, double value) {
        Family(name, type, help);
        Sample({}, value);
    }
    void Histogram(const std::string& name, const char* help, const ScanHistogram& histogram) {
        Family(name, MetricType::Histogram, help);
        ClientMetric metric;
        metric.histogram.sample_count = histogram.count;
        metric.histogram.sample_sum = histogram.sumSeconds;
        std::uint64_t cumulative = 0;
        for (std::size_t i = 0; i < ScanHistogram::kBoundsSeconds.size(); ++i) {
            cumulative += histogram.inBucket[i];
            metric.histogram.bucket.push_back({cumulative, ScanHistogram::kBoundsSeconds[i]});
        }
        families_.back().metric.push_back(std::move(metric));
    }
    std::vector<MetricFamily> Take() { return std::move(families_); }

private:
    std::vector<MetricFamily> families_;
};

constexpr MetricType kCounter = MetricType::Counter;
constexpr MetricType kGauge = MetricType::Gauge;

double Count(std::uint64_t n) { return static_cast<double>(n); }

void Points(Families& out, const GatewaySnapshot& snapshot) {
    const auto& points = snapshot.config->points;
    const auto labels = [&](std::size_t i) { return Labels {{"point", points[i].name}, {"address", points[i].gas}}; };
    // A value that cannot be trusted now is left out, not exported as current:
    // point_quality and station_up say why it is missing.
    out.Family("point_value", kGauge, "The point's value, scaled, while its quality is good.");
    for (std::size_t i = 0; i < points.size(); ++i) {
        const PointReading& reading = snapshot.points[i];
        if (reading.everGood && reading.quality == Quality::kGood) {
            out.Sample(labels(i), ScaledValue(points[i].type, points[i].scaling, reading.raw));
        }
    }
    out.Family("point_quality", kGauge, "1 while the point's value is good, 0 while it is bad or stale.");
    for (std::size_t i = 0; i < points.size(); ++i) {
        out.Sample(labels(i), snapshot.points[i].quality == Quality::kGood ? 1 : 0);
    }
    out.Family("point_age_seconds", kGauge, "Seconds since the point's last good read (absent until it was read once).");
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!snapshot.points[i].everGood) continue;
        out.Sample(labels(i), std::chrono::duration<double>(snapshot.takenAt - snapshot.points[i].lastGood).count());
    }
}

void Line(Families& out, const GatewaySnapshot& snapshot) {
    const ScanCounters& c = snapshot.counters;
    const AttemptCounts& attempts = snapshot.line.attempts;
    out.Single("exchanges_total", kCounter, "Planned reads carried out.", Count(c.exchanges));
    out.Single("exchange_failures_total", kCounter, "Planned reads that failed after every attempt.", Count(c.failures));
    out.Single("attempts_total", kCounter, "Attempts (requests sent) that got an answer from the controller.",
               Count(attempts.answered));
    out.Family("attempt_failures_total", kCounter,
               "Attempts that failed, by kind; the controller's status for kind=\"status\".");
    out.Sample({{"kind", "no_reply"}}, Count(attempts.noReply));
    out.Sample({{"kind", "damaged_reply"}}, Count(attempts.damaged));
    for (const auto& [status, count] : attempts.refused) {
        char shown[8];
        std::snprintf(shown, sizeof shown, "%02X", status);
        out.Sample({{"kind", "status"}, {"status", shown}}, Count(count));
    }
    out.Single("writes_total", kCounter, "Writes carried out on the line.", Count(c.writes));
    out.Single("write_failures_total", kCounter, "Writes that failed after every attempt.", Count(c.writeFailures));
    out.Single("writes_dropped_total", kCounter,
               "Writes never sent: too old, the queue full, the port closed, or stopping.", Count(c.writesDropped));
    out.Single("write_mode_switches_total", kCounter, "Writes the controller took only in write mode.",
               Count(c.writeModeSwitches));
    out.Histogram("scan_duration_seconds", "Duration of the scans that read something, writes in them included.",
                  snapshot.line.scans);
    out.Single("port_open", kGauge, "1 while the serial port is open.", c.portOpen ? 1 : 0);
    out.Single("port_reopens_total", kCounter, "Times the port was opened again after its device went away.",
               Count(c.portReopens));
    out.Family("station_up", kGauge, "1 when the station answered its last exchange.");
    for (const StationState& station : snapshot.stations) {
        out.Sample({{"station", StationName(station.station)}}, station.answering ? 1 : 0);
    }
}

void Servers(Families& out, const GatewaySnapshot& snapshot) {
    if (snapshot.modbusEnabled) {
        out.Single("modbus_clients", kGauge, "Modbus TCP clients connected.", snapshot.modbus.clients);
        out.Family("modbus_requests_total", kCounter, "Modbus requests received, by function code.");
        for (const auto& [function, count] : snapshot.modbus.requests) {
            out.Sample({{"function", std::to_string(function)}}, Count(count));
        }
        out.Single("modbus_connections_refused_total", kCounter, "Modbus connections closed: address not in allow.",
                   Count(snapshot.modbus.refusedConnections));
        out.Single("modbus_writes_refused_total", kCounter, "Modbus writes refused by read_only.",
                   Count(snapshot.modbus.refusedWrites));
    }
    out.Single("http_connections_refused_total", kCounter, "HTTP connections closed: address not in allow.",
               Count(snapshot.http.refusedConnections));
    out.Single("http_unauthorized_total", kCounter, "HTTP requests answered 401.", Count(snapshot.http.unauthorized));
    if (snapshot.mqttEnabled) {
        out.Single("mqtt_connected", kGauge, "1 while connected to the MQTT broker.", snapshot.mqtt.connected ? 1 : 0);
        out.Single("mqtt_messages_sent_total", kCounter, "MQTT messages handed to the broker connection.",
                   Count(snapshot.mqtt.sent));
        out.Single("mqtt_messages_dropped_total", kCounter,
                   "MQTT messages dropped (disconnected, or the broker not keeping up).", Count(snapshot.mqtt.dropped));
        out.Family("mqtt_connect_failures_total", kCounter,
                   "MQTT connection attempts that failed: TLS (a certificate refused), credentials, or network.");
        out.Sample({{"reason", "tls"}}, Count(snapshot.mqtt.connectFailures.tls));
        out.Sample({{"reason", "credentials"}}, Count(snapshot.mqtt.connectFailures.credentials));
        out.Sample({{"reason", "network"}}, Count(snapshot.mqtt.connectFailures.network));
    }
}

void Sparkplug(Families& out, const GatewaySnapshot& snapshot) {
    if (!snapshot.sparkplugEnabled) return;
    const SparkplugStatistics& node = snapshot.sparkplug;
    out.Single("sparkplug_connected", kGauge, "1 while the Sparkplug B session is connected to the broker.",
               node.connected ? 1 : 0);
    out.Single("sparkplug_born", kGauge, "1 while the node's NBIRTH stands (connected, the primary host online).",
               node.born ? 1 : 0);
    out.Single("sparkplug_bdseq", kGauge, "bdSeq of the Sparkplug B session now.", static_cast<double>(node.bdSeq));
    out.Single("sparkplug_births_total", kCounter, "NBIRTH and DBIRTH messages published.", Count(node.births));
    out.Single("sparkplug_deaths_total", kCounter, "NDEATH (a stop, the primary host offline) and DDEATH messages.",
               Count(node.deaths));
    out.Single("sparkplug_commands_total", kCounter, "NCMD and DCMD messages received.", Count(node.commands));
    out.Single("sparkplug_commands_refused_total", kCounter,
               "Command metrics refused (unknown, read-only, wrong datatype, out of range): nothing written.",
               Count(node.refusedCommands));
}

void Store(Families& out, const GatewaySnapshot& snapshot) {
    if (!snapshot.storeEnabled) return;
    const StoreStatistics& store = snapshot.store;
    out.Single("store_backlog_messages", kGauge, "Messages kept until the broker acknowledges them.",
               Count(store.backlog));
    out.Single("store_backlog_age_seconds", kGauge, "Age of the oldest message not yet acknowledged; 0 without one.",
               store.backlogAgeSeconds);
    out.Single("store_dropped_total", kCounter, "Unsent messages dropped: the store full, too old, or the disk full.",
               Count(store.dropped));
    out.Single("store_bytes", kGauge, "Bytes the store's file uses; 0 for the memory queue.", Count(store.bytes));
    out.Single("store_replayed_total", kCounter, "Messages of the backlog sent after a reconnection or a restart.",
               Count(snapshot.storeReplayed));
}

}  // namespace

std::vector<MetricFamily> GatewayMetrics::Collect() const {
    Families out;
    Points(out, snapshot_);
    Line(out, snapshot_);
    Servers(out, snapshot_);
    Sparkplug(out, snapshot_);
    Store(out, snapshot_);
    return out.Take();
}

}  // namespace jwgate
