// RS-485 half duplex as a port's own driver runs it: the transmitter is
// enabled (RTS raised) only while a frame goes out, so that the controllers
// on the bus can answer in between.
#pragma once

#include <cstdint>

namespace kel {

struct Rs485Settings {
    bool enabled = false;
    std::uint32_t delayBeforeSendMs = 0;  // RTS raised this long before the first bit
    std::uint32_t delayAfterSendMs = 0;   // and held this long after the last

    bool operator==(const Rs485Settings&) const = default;
};

}  // namespace kel
