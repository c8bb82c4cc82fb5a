#include "tools/jwgate/http/metrics_text.h"

#include <prometheus/text_serializer.h>

#include "tools/jwgate/http/gateway_metrics.h"

namespace jwgate {

std::string MetricsText(const GatewaySnapshot& snapshot) {
    return prometheus::TextSerializer().Serialize(GatewayMetrics(snapshot).Collect());
}

}  // namespace jwgate
