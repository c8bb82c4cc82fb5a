// The driver's one tunable setting, ReplyWaitTime, read from a small text
// file of "KEY number" lines each time the open command has opened the port.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

inline constexpr char kConfigurationFileName[] = "kelwnSRP.int";
inline constexpr std::int32_t kDefaultReplyWaitTimeMs = 50;

// Lines are taken in pieces of at most this many characters (line end not
// counted); a longer line is cut and each piece parsed as a line of its own.
inline constexpr std::size_t kConfigurationPieceLength = 79;

struct ConfigurationKey {
    char name[20];       // NUL-terminated, at most 19 characters
    std::int32_t slot;   // index into the configuration values
};

inline constexpr ConfigurationKey ConfigurationKeys[] = {
    {"WAITINGTIME", 0},  // ReplyWaitTime, milliseconds
};
inline constexpr std::size_t kConfigurationSlotCount = 1;

// Process-wide values: absent until an open finds the file, and again after
// an open that finds none. Each slot holds a 16-bit value, zero-extended.
struct ConfigurationValuesArea {
    bool present = false;
    std::uint32_t slots[kConfigurationSlotCount] = {};
};
extern ConfigurationValuesArea ConfigurationValues;

// Reads fileName (relative to the current directory) into
// ConfigurationValues and logs whether it was found.
void ReadConfiguration(const char* fileName);

// Milliseconds to wait between a request and its reply: slot 0 when the file
// was found (0 when it lacks the key), 50 when it was not.
std::int32_t GetReplyWaitTime();

}  // namespace kel
