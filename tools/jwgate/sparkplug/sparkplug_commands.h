// What a host asks of the node in NCMD and DCMD payloads: a rebirth, or
// writes to a station's points. A write is checked here against the point it
// names (known on that station, writable, the datatype its birth gave) and
// turned into the engineering value a /set takes; the range is the /set
// path's to check, as for any other write.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/jwgate/config/config.h"

namespace jwgate::sparkplug {

struct CommandRefusal {
    std::string metric;  // as the host named it ("" without a name)
    std::string reason;  // one line: "unknown metric", "read-only point", ...
    bool operator==(const CommandRefusal&) const = default;
};

struct NodeCommand {
    bool rebirth = false;
    std::vector<CommandRefusal> refusals;  // every other metric: the node takes no writes of its own
};

struct PointWrite {
    std::size_t point = 0;  // index into the configuration's points
    double value = 0;       // engineering value, as a /set gives it
    bool operator==(const PointWrite&) const = default;
};

struct DeviceCommand {
    std::vector<PointWrite> writes;
    std::vector<CommandRefusal> refusals;
};

// Nothing when bytes are not a Sparkplug B payload.
std::optional<NodeCommand> ParseNodeCommand(std::string_view bytes);
// The writes asked of station's points; nothing when bytes are not a payload.
std::optional<DeviceCommand> ParseDeviceCommand(std::string_view bytes, int station,
                                                const std::vector<PointConfig>& points);

}  // namespace jwgate::sparkplug
