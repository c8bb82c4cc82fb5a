// Bytes read as a Sparkplug B payload. Protocol Buffers take much that is
// not one (a text, a JSON document) as a message of unknown fields; such
// bytes, and empty ones, are refused here.
#pragma once

#include <string_view>

#include "tools/jwgate/sparkplug/sparkplug_b.pb.h"

namespace jwgate::sparkplug {

bool ParsePayload(std::string_view bytes, sparkplug_b::Payload* payload);

}  // namespace jwgate::sparkplug
