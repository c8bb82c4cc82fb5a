#include "tools/jwgate/sparkplug/session_report.h"

#include <set>

#include "tools/jwgate/sparkplug/edge_session.h"

namespace jwgate::sparkplug {

std::string SessionReport(const GatewayConfig& config) {
    const SparkplugConfig& node = config.sparkplug;
    if (!node.enabled) return {};
    std::string report = "sparkplug: edge node " + node.groupId + "/" + node.edgeNodeId + " on " + config.mqtt.host +
                         ":" + std::to_string(config.mqtt.port) + " as client " + node.clientId + "; births " +
                         (node.primaryHostId.empty() ? "at once" : "while host " + node.primaryHostId + " is online") +
                         "\n";
    std::set<int> stations;
    for (const PointConfig& point : config.points) stations.insert(point.item.station);
    report += "  devices:";
    for (const int station : stations) report += " " + DeviceIdOf(station);
    report += "\n  publishes " + TopicOf({MessageType::kNBirth, node.groupId, node.edgeNodeId, "", ""}) + " (and " +
              "NDEATH, NDATA), " + TopicOf({MessageType::kDBirth, node.groupId, node.edgeNodeId, "<device>", ""}) +
              " (and DDEATH, DDATA)\n  subscribes";
    const EdgeSession session(node, config.points);
    for (const std::string& topic : session.Subscriptions()) report += " " + topic;
    return report + "\n";
}

}  // namespace jwgate::sparkplug
