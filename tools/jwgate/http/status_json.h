// The status page's data (GET /api/points) and the health check's document
// (GET /healthz), as JSON.
#pragma once

#include <string>

#include "tools/jwgate/http/gateway_snapshot.h"

namespace jwgate {

// Points (name, address, type, value, quality, age), the line's counters,
// the stations, the last frames on the line and the store's backlog (null
// without MQTT).
std::string StatusJson(const GatewaySnapshot& snapshot);

// Whether the line answered recently enough to call the gateway healthy:
// the port is open and some station answered within the last three scan
// intervals (the shortest point interval, or the last scan's duration when
// that is longer), and never less than 5 s.
bool Healthy(const GatewaySnapshot& snapshot);
std::string HealthJson(const GatewaySnapshot& snapshot);

}  // namespace jwgate
