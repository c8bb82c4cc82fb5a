#include "tools/jwgate/sparkplug/sparkplug_names.h"

#include <iconv.h>

#include <array>
#include <cerrno>
#include <vector>

#include "tools/jwgate/core/station_state.h"

namespace jwgate::sparkplug {
namespace {

constexpr std::array<const char*, 9> kTypeNames = {"NBIRTH", "NDEATH", "NDATA", "NCMD", "DBIRTH",
                                                   "DDEATH", "DDATA",  "DCMD", "STATE"};
constexpr std::string_view kDevicePrefix = "station";

// The code points of text, or nothing when it is not valid UTF-8 (glibc's
// converter refuses overlong forms, surrogates and truncated sequences).
std::optional<std::vector<char32_t>> CodePointsOf(std::string_view text) {
    const iconv_t converter = iconv_open("UTF-32LE", "UTF-8");
    if (converter == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string input(text);
    std::vector<char> output(input.size() * 4 + 4);
    char* in = input.data();
    std::size_t inLeft = input.size();
    char* out = output.data();
    std::size_t outLeft = output.size();
    const std::size_t done = iconv(converter, &in, &inLeft, &out, &outLeft);
    iconv_close(converter);
    if (done == static_cast<std::size_t>(-1) || inLeft != 0) return std::nullopt;
    std::vector<char32_t> points;
    for (const char* at = output.data(); at + 4 <= out; at += 4) {
        const auto byte = [at](int index) { return static_cast<char32_t>(static_cast<unsigned char>(at[index])); };
        points.push_back(byte(0) | byte(1) << 8 | byte(2) << 16 | byte(3) << 24);
    }
    return points;
}

bool IsControl(char32_t point) { return point < 0x20 || (point >= 0x7F && point <= 0x9F); }

}  // namespace

std::string IdProblem(std::string_view id) {
    if (id.empty()) return "is empty";
    for (const char reserved : {'+', '/', '#'}) {
        if (id.find(reserved) != std::string_view::npos) return std::string("contains \"") + reserved + "\"";
    }
    const auto points = CodePointsOf(id);
    if (!points) return "is not valid UTF-8";
    for (const char32_t point : *points) {
        if (IsControl(point)) return "contains a control character";
    }
    return {};
}

const char* MessageTypeName(MessageType type) { return kTypeNames[static_cast<std::size_t>(type)]; }

bool NamesDevice(MessageType type) {
    return type == MessageType::kDBirth || type == MessageType::kDDeath || type == MessageType::kDData ||
           type == MessageType::kDCmd;
}

std::string TopicOf(const Topic& topic) {
    const std::string root(kNamespace);
    if (topic.type == MessageType::kState) return root + "/STATE/" + topic.hostId;
    std::string text = root + "/" + topic.group + "/" + MessageTypeName(topic.type) + "/" + topic.edgeNode;
    if (NamesDevice(topic.type)) text += "/" + topic.device;
    return text;
}

std::optional<Topic> ParseTopic(std::string_view text) {
    std::vector<std::string> levels;
    for (std::size_t start = 0;;) {
        const std::size_t slash = text.find('/', start);
        levels.emplace_back(text.substr(start, slash == std::string_view::npos ? slash : slash - start));
        if (slash == std::string_view::npos) break;
        start = slash + 1;
    }
    if (levels.size() < 3 || levels[0] != kNamespace) return std::nullopt;
    for (std::size_t level = 1; level < levels.size(); ++level) {
        if (!IdProblem(levels[level]).empty()) return std::nullopt;
    }
    Topic topic;
    if (levels[1] == "STATE" && levels.size() == 3) {
        topic.type = MessageType::kState;
        topic.hostId = levels[2];
        return topic;
    }
    std::size_t index = 0;
    while (index < kTypeNames.size() && levels[2] != kTypeNames[index]) ++index;
    if (index == kTypeNames.size() || levels.size() < 4) return std::nullopt;
    topic.type = static_cast<MessageType>(index);
    if (topic.type == MessageType::kState || levels.size() != (NamesDevice(topic.type) ? 5u : 4u)) return std::nullopt;
    topic.group = levels[1];
    topic.edgeNode = levels[3];
    if (NamesDevice(topic.type)) topic.device = levels[4];
    return topic;
}

std::string DeviceIdOf(int station) { return std::string(kDevicePrefix) + StationName(station); }

std::optional<int> StationOfDeviceId(std::string_view device) {
    if (device.size() != kDevicePrefix.size() + 2 || !device.starts_with(kDevicePrefix)) return std::nullopt;
    int station = 0;
    for (const char digit : device.substr(kDevicePrefix.size())) {
        if (digit < '0' || digit > '7') return std::nullopt;
        station = station * 8 + (digit - '0');
    }
    return station;
}

}  // namespace jwgate::sparkplug
