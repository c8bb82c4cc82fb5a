// The names a Sparkplug B host sees the gateway by: the group, edge node and
// device ids, and the topics built from them:
//   spBv1.0/<group>/NBIRTH|NDEATH|NDATA|NCMD/<edge node>
//   spBv1.0/<group>/DBIRTH|DDEATH|DDATA|DCMD/<edge node>/<device>
//   spBv1.0/STATE/<host id>
// One station of the line is one device, "station" and its two octal digits.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace jwgate::sparkplug {

inline constexpr std::string_view kNamespace = "spBv1.0";

// Empty when id may stand for a group, an edge node, a device or a host in a
// topic; otherwise what is wrong with it, worded to follow the quoted id:
// `contains "/"`. An id is a topic level: valid UTF-8, not empty, without
// "+", "/", "#", NUL or other control characters.
std::string IdProblem(std::string_view id);

enum class MessageType { kNBirth, kNDeath, kNData, kNCmd, kDBirth, kDDeath, kDData, kDCmd, kState };

// "NBIRTH", ..., "STATE".
const char* MessageTypeName(MessageType type);
// Whether topics of the type name a device.
bool NamesDevice(MessageType type);

struct Topic {
    MessageType type = MessageType::kNData;
    std::string group;     // empty for STATE
    std::string edgeNode;  // empty for STATE
    std::string device;    // for device messages only
    std::string hostId;    // for STATE only
    bool operator==(const Topic&) const = default;
};

std::string TopicOf(const Topic& topic);
// The topic as a Topic; nothing for one outside the namespace, of an unknown
// type, with a level too many or too few, or with an id IdProblem refuses.
std::optional<Topic> ParseTopic(std::string_view topic);

// "station01" for station 1 (octal digits, as gate addresses write stations).
std::string DeviceIdOf(int station);
// The station a device id names; nothing for an id that is not one.
std::optional<int> StationOfDeviceId(std::string_view device);

}  // namespace jwgate::sparkplug
