#include "commands/driver_line.h"

#include <array>
#include <cstdint>

#include "host/configuration.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

// A checked gate address carries the link's area codes as they are.
constexpr bool SameCode(AreaKind kind, AreaCode code) { return static_cast<int>(kind) == static_cast<int>(code); }
static_assert(SameCode(AreaR, kAreaR) && SameCode(AreaRT, kAreaRT) && SameCode(AreaT, kAreaT) &&
              SameCode(AreaMA, kAreaMA) && SameCode(AreaMB, kAreaMB) && SameCode(AreaM09, kAreaM09) &&
              SameCode(AreaM19, kAreaM19) && SameCode(AreaM29, kAreaM29) && SameCode(AreaM39, kAreaM39));

// Ports of all instances; a process never has many open. The least recently
// used entry makes room for a new port.
constexpr std::size_t kTrackedPorts = 64;
std::array<LinkContext, kTrackedPorts> g_links {};
std::array<std::uint64_t, kTrackedPorts> g_used {};
std::uint64_t g_clock = 0;

LinkContext* Find(PortHandle port) {
    for (std::size_t i = 0; i < kTrackedPorts; ++i) {
        if (g_links[i].state.port == port) {
            g_used[i] = ++g_clock;
            return &g_links[i];
        }
    }
    return nullptr;
}

LinkContext& Make(PortHandle port) {
    std::size_t victim = 0;
    for (std::size_t i = 1; i < kTrackedPorts; ++i) {
        if (g_used[i] < g_used[victim]) victim = i;
    }
    g_links[victim] = LinkContext {};
    g_links[victim].state.port = port;
    g_used[victim] = ++g_clock;
    return g_links[victim];
}

}  // namespace

void AttachDriverPort(PortHandle port, std::uint32_t linkTimeout) {
    LinkContext* link = Find(port);
    if (link == nullptr) link = &Make(port);
    AttachPort(*link, port, linkTimeout);
}

void ReattachDriverPort(PortHandle port) {
    LinkContext* link = Find(port);
    if (link == nullptr) link = &Make(port);
    ResetLink(*link, port, kOpenReadTimeoutMs);
}

void ForgetDriverPort(PortHandle port) {
    if (LinkContext* link = Find(port)) *link = LinkContext {};
}

LinkContext& LinkOf(const DriverState& state) {
    LinkContext* link = Find(state.portHandle);
    LinkSettings settings = link != nullptr ? link->settings() : LinkSettings {};
    if (link == nullptr) {
        link = &Make(state.portHandle);
        settings.readTimeoutMs = ReadTimeoutUnits(state.LinkTimeout) * 10u;
    }
    // The host may change the baud rate and the reply pause between calls.
    settings.baudRate = state.portSettings.line.baudRate;
    settings.replyPauseMs = static_cast<std::uint32_t>(GetReplyWaitTime());
    if (settings != link->settings()) link->Configure(settings);
    link->state.writeEnablePending = state.WriteEnablePending != 0;
    return *link;
}

void KeepLink(const LinkContext& link, DriverState* state) {
    if (link.state.writeEnablePending != (state->WriteEnablePending != 0)) {
        state->WriteEnablePending = link.state.writeEnablePending ? 1 : 0;
    }
}

Item ItemOf(const GateAddress& gate, int bytes) { return {gate.station, gate.areaKind, gate.address, bytes}; }

}  // namespace kel
