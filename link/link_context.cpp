#include "link/link_context.h"

#include <algorithm>
#include <limits>

#include "serial/serial_port.h"

namespace kel {
namespace {

constexpr std::uint32_t kDefaultReadTimeoutMs = 1000;
// With a stop flag the port's reads wait no longer than this at a time.
constexpr std::uint32_t kStopSliceMs = 100;

}  // namespace

std::uint32_t ReadTimeoutUnits(std::uint32_t linkTimeout) {
    if (linkTimeout == 0) return kDefaultReadTimeoutMs / 10;
    // Win32 gives MAXDWORD a meaning of its own in some combinations.
    constexpr std::uint32_t kLongest = (std::numeric_limits<std::uint32_t>::max() - 1) / 10;
    return linkTimeout > kLongest ? kLongest : linkTimeout;
}

void AttachPort(LinkContext& link, PortHandle port, std::uint32_t linkTimeout) {
    const std::uint32_t units = ReadTimeoutUnits(linkTimeout);
    const std::uint32_t portUnits = link.hooks.stop != nullptr ? std::min(units, kStopSliceMs / 10) : units;
    SetReadTimeout(port, static_cast<std::int32_t>(portUnits));
    ResetLink(link, port, units * 10u);
}

void ResetLink(LinkContext& link, PortHandle port, std::uint32_t readTimeoutMs) {
    if (link.settings().readTimeoutMs != readTimeoutMs) {
        LinkSettings settings = link.settings();
        settings.readTimeoutMs = readTimeoutMs;
        link.Configure(settings);
    }
    link.state.port = port;
    link.state.writeEnablePending = false;
    link.state.owed.Clear();
    link.state.resync = false;
}

void PauseUnlessStopped(const LinkContext& link, std::uint32_t ms) {
    if (link.hooks.stop == nullptr) {
        Pause(ms);
        return;
    }
    while (ms > 0 && !link.Stopped()) {
        const std::uint32_t slice = std::min(ms, kStopSliceMs);
        Pause(slice);
        ms -= slice;
    }
}

bool KeepRequestGap(const LinkContext& link) {
    if (link.settings().requestGapMs == 0) return !link.Stopped();
    const auto gap = std::chrono::milliseconds(link.settings().requestGapMs);
    const auto since = LinkClock::now() - link.state.exchangeEnded;
    if (since < gap) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(gap - since);
        PauseUnlessStopped(link, static_cast<std::uint32_t>(left.count()));
    }
    return !link.Stopped();
}

}  // namespace kel
