// The build without an MQTT client: a configuration that asks for MQTT (and
// so for the edge node, which needs it) is refused before anything starts.
#include "tools/jwgate/sparkplug/edge_node.h"

namespace jwgate::sparkplug {

EdgeNode::EdgeNode(std::shared_ptr<const GatewayConfig> config, WriteQueue& writes, MessageStore& store, ChangeSignal&)
    : config_(std::move(config)), writes_(writes), store_(store), session_(config_->sparkplug, config_->points),
      delivery_(config_->store, store) {}
EdgeNode::~EdgeNode() = default;

bool EdgeNode::Start(std::string* error) {
    *error = "Sparkplug B not built: this jwgate has no MQTT client (build it with libmosquitto)";
    return false;
}
void EdgeNode::Produced(std::uint64_t, const StoredReading&) {}
bool EdgeNode::Tick(const std::vector<StationState>&, const ScanCounters&) { return false; }
void EdgeNode::Stop() {}
SparkplugStatistics EdgeNode::Statistics() const { return {}; }

}  // namespace jwgate::sparkplug
