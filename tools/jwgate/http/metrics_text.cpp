#include "tools/jwgate/http/metrics_text.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/jwgate/core/value_type.h"

namespace jwgate {
namespace {

// A label value with backslash, double quote and line feed escaped.
std::string LabelValue(const std::string& text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string Number(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "+Inf" : "-Inf";
    // The shortest text that reads back as the same number: 0.025, not
    // 0.025000000000000001.
    char text[40];
    for (int digits = 15; digits <= 17; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, value);
        if (std::strtod(text, nullptr) == value) break;
    }
    return text;
}

class Exposition {
public:
    // The HELP and TYPE lines of a family, once, before its samples.
    void Family(const std::string& name, const char* type, const char* help) {
        text_ += "# HELP jwgate_" + name + " " + help + "\n# TYPE jwgate_" + name + " " + type + "\n";
    }
    void Sample(const std::string& name, const std::string& labels, double value) {
        text_ += "jwgate_" + name + (labels.empty() ? "" : "{" + labels + "}") + " " + Number(value) + "\n";
    }
    // A family of one sample without labels.
    void Single(const std::string& name, const char* type, const char* help, double value) {
        Family(name, type, help);
        Sample(name, "", value);
    }
    std::string Take() { return std::move(text_); }

private:
    std::string text_;
};

std::string Label(const char* name, const std::string& value) {
    return std::string(name) + "=\"" + LabelValue(value) + "\"";
}

void Points(Exposition& out, const GatewaySnapshot& snapshot) {
    const auto& points = snapshot.config->points;
    const auto labels = [&](std::size_t i) { return Label("point", points[i].name) + "," + Label("address", points[i].gas); };
    out.Family("point_value", "gauge", "The point's last good value (absent until it was read once).");
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (snapshot.points[i].everGood) out.Sample("point_value", labels(i), NumberOf(points[i].type, snapshot.points[i].raw));
    }
    out.Family("point_quality", "gauge", "1 while the point's value is good, 0 while it is bad or stale.");
    for (std::size_t i = 0; i < points.size(); ++i) {
        out.Sample("point_quality", labels(i), snapshot.points[i].quality == Quality::kGood ? 1 : 0);
    }
    out.Family("point_age_seconds", "gauge", "Seconds since the point's last good read (absent until it was read once).");
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!snapshot.points[i].everGood) continue;
        out.Sample("point_age_seconds", labels(i),
                   std::chrono::duration<double>(snapshot.takenAt - snapshot.points[i].lastGood).count());
    }
}

void Line(Exposition& out, const GatewaySnapshot& snapshot) {
    const ScanCounters& c = snapshot.counters;
    const AttemptCounts& attempts = snapshot.line.attempts;
    out.Single("exchanges_total", "counter", "Planned reads carried out.", static_cast<double>(c.exchanges));
    out.Single("exchange_failures_total", "counter", "Planned reads that failed after every attempt.",
               static_cast<double>(c.failures));
    out.Single("attempts_total", "counter", "Attempts (requests sent) that got an answer from the controller.",
               static_cast<double>(attempts.answered));
    out.Family("attempt_failures_total", "counter", "Attempts that failed, by kind; the controller's status for kind=\"status\".");
    out.Sample("attempt_failures_total", Label("kind", "no_reply"), static_cast<double>(attempts.noReply));
    out.Sample("attempt_failures_total", Label("kind", "damaged_reply"), static_cast<double>(attempts.damaged));
    for (const auto& [status, count] : attempts.refused) {
        char shown[8];
        std::snprintf(shown, sizeof shown, "%02X", status);
        out.Sample("attempt_failures_total", Label("kind", "status") + "," + Label("status", shown), static_cast<double>(count));
    }
    out.Single("writes_total", "counter", "Writes carried out on the line.", static_cast<double>(c.writes));
    out.Single("write_failures_total", "counter", "Writes that failed after every attempt.",
               static_cast<double>(c.writeFailures));
    out.Single("writes_dropped_total", "counter", "Writes never sent: too old, the queue full, the port closed, or stopping.",
               static_cast<double>(c.writesDropped));
    out.Single("write_mode_switches_total", "counter", "Writes the controller took only in write mode.",
               static_cast<double>(c.writeModeSwitches));

    const ScanHistogram& scans = snapshot.line.scans;
    out.Family("scan_duration_seconds", "histogram", "Duration of the scans that read something, writes in them included.");
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < ScanHistogram::kBoundsSeconds.size(); ++i) {
        cumulative += scans.inBucket[i];
        out.Sample("scan_duration_seconds_bucket", Label("le", Number(ScanHistogram::kBoundsSeconds[i])),
                   static_cast<double>(cumulative));
    }
    out.Sample("scan_duration_seconds_bucket", Label("le", "+Inf"), static_cast<double>(scans.count));
    out.Sample("scan_duration_seconds_sum", "", scans.sumSeconds);
    out.Sample("scan_duration_seconds_count", "", static_cast<double>(scans.count));

    out.Single("port_open", "gauge", "1 while the serial port is open.", c.portOpen ? 1 : 0);
    out.Single("port_reopens_total", "counter", "Times the port was opened again after its device went away.",
               static_cast<double>(c.portReopens));
    out.Family("station_up", "gauge", "1 when the station answered its last exchange.");
    for (const StationState& station : snapshot.stations) {
        out.Sample("station_up", Label("station", StationName(station.station)), station.answering ? 1 : 0);
    }
}

void Servers(Exposition& out, const GatewaySnapshot& snapshot) {
    if (snapshot.modbusEnabled) {
        out.Single("modbus_clients", "gauge", "Modbus TCP clients connected.", snapshot.modbus.clients);
        out.Family("modbus_requests_total", "counter", "Modbus requests received, by function code.");
        for (const auto& [function, count] : snapshot.modbus.requests) {
            out.Sample("modbus_requests_total", Label("function", std::to_string(function)), static_cast<double>(count));
        }
    }
    if (snapshot.mqttEnabled) {
        out.Single("mqtt_connected", "gauge", "1 while connected to the MQTT broker.", snapshot.mqtt.connected ? 1 : 0);
        out.Single("mqtt_messages_sent_total", "counter", "MQTT messages handed to the broker connection.",
                   static_cast<double>(snapshot.mqtt.sent));
        out.Single("mqtt_messages_dropped_total", "counter", "MQTT messages dropped (disconnected, or the broker not keeping up).",
                   static_cast<double>(snapshot.mqtt.dropped));
    }
}

}  // namespace

std::string MetricsText(const GatewaySnapshot& snapshot) {
    Exposition out;
    Points(out, snapshot);
    Line(out, snapshot);
    Servers(out, snapshot);
    return out.Take();
}

}  // namespace jwgate
