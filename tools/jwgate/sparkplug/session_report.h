// What --check says of the Sparkplug B session: who the node is to hosts,
// its devices and the topics it publishes and listens on.
#pragma once

#include <string>

#include "tools/jwgate/config/config.h"

namespace jwgate::sparkplug {

// Empty without a [sparkplug] table.
std::string SessionReport(const GatewayConfig& config);

}  // namespace jwgate::sparkplug
