// The gateway's state as Prometheus metric families, every name prefixed
// "jwgate_", read from one snapshot.
#pragma once

#include <vector>

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include "tools/jwgate/http/gateway_snapshot.h"

namespace jwgate {

class GatewayMetrics : public prometheus::Collectable {
public:
    // The snapshot must outlive the collectable.
    explicit GatewayMetrics(const GatewaySnapshot& snapshot) : snapshot_(snapshot) {}

    std::vector<prometheus::MetricFamily> Collect() const override;

private:
    const GatewaySnapshot& snapshot_;
};

}  // namespace jwgate
