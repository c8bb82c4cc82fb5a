// The gateway's state in the Prometheus text exposition format (0.0.4),
// every name prefixed "jwgate_".
#pragma once

#include <string>

#include "tools/jwgate/http/gateway_snapshot.h"

namespace jwgate {

inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

std::string MetricsText(const GatewaySnapshot& snapshot);

}  // namespace jwgate
