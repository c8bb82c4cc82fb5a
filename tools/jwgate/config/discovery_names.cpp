#include "tools/jwgate/config/discovery_names.h"

#include <cstdint>
#include <cstdio>

#include "tools/jwgate/config/mqtt_topic.h"

namespace jwgate {
namespace {

// FNV-1a: stable across builds and machines, unlike std::hash.
std::uint32_t Hash(const std::string& text) {
    std::uint32_t hash = 2166136261u;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 16777619u;
    }
    return hash;
}

}  // namespace

bool IsDiscoveryIdByte(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

std::string DiscoveryPrefixProblem(const std::string& prefix) {
    if (prefix.empty()) return "must not be empty";
    if (auto problem = PublishTopicProblem(prefix); !problem.empty()) return "\"" + prefix + "\" " + problem;
    if (prefix.find('/') != std::string::npos) return "one topic level, without \"/\"";
    for (const char c : prefix) {
        if (!IsDiscoveryIdByte(c)) return "letters, digits, _ and - only";
    }
    return {};
}

std::string DiscoveryId(const std::string& text) {
    std::string id;
    bool changed = text.empty();
    for (const char c : text) {
        changed = changed || !IsDiscoveryIdByte(c);
        id += IsDiscoveryIdByte(c) ? c : '_';
    }
    if (!changed) return id;
    char hash[16];
    std::snprintf(hash, sizeof hash, "_%08x", static_cast<unsigned>(Hash(text)));
    return id + hash;
}

}  // namespace jwgate
