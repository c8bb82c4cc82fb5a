#include "link/port_state.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "protocol/frame.h"

namespace kel {
namespace {

constexpr std::uint32_t kDefaultReadTimeoutMs = 1000;
constexpr std::uint32_t kBitsPerCharacter = 11;  // start, 8 data, parity, stop
constexpr std::uint32_t kSlowestBaud = 50;
constexpr std::chrono::milliseconds kBudgetMargin {100};
constexpr std::size_t kTrackedPorts = 64;

// Ports of all instances; a process never has many open. The least recently
// used entry makes room for a new port.
std::array<LinkPortState, kTrackedPorts> g_ports {};
std::array<std::uint64_t, kTrackedPorts> g_used {};
std::uint64_t g_clock = 0;

LinkPortState Fresh(PortHandle port, std::uint32_t readTimeoutMs) {
    LinkPortState state;
    state.port = port;
    state.readTimeoutMs = readTimeoutMs;
    state.lastHeard = LinkClock::now();
    return state;
}

LinkPortState* Find(PortHandle port) {
    for (std::size_t i = 0; i < kTrackedPorts; ++i) {
        if (g_ports[i].port == port) {
            g_used[i] = ++g_clock;
            return &g_ports[i];
        }
    }
    return nullptr;
}

LinkPortState& Make(PortHandle port, std::uint32_t readTimeoutMs) {
    std::size_t victim = 0;
    for (std::size_t i = 1; i < kTrackedPorts; ++i) {
        if (g_used[i] < g_used[victim]) victim = i;
    }
    g_ports[victim] = Fresh(port, readTimeoutMs);
    g_used[victim] = ++g_clock;
    return g_ports[victim];
}

}  // namespace

void LinkPortState::Owe(const char* payload, int length, int echoLength) {
    if (owedCount == kMaxOwedReplies) Settle(1);
    OwedRequest& request = owed[owedCount++];
    request.length = std::clamp(length, 0, OwedRequest::kSize);
    request.echoLength = std::clamp(echoLength, 0, request.length);
    std::memcpy(request.payload, payload, static_cast<std::size_t>(request.length));
}

void LinkPortState::Settle(int count) {
    count = std::clamp(count, 0, owedCount);
    std::move(owed + count, owed + owedCount, owed);
    owedCount -= count;
}

std::uint32_t ReadTimeoutUnits(std::uint32_t linkTimeout) {
    if (linkTimeout == 0) return kDefaultReadTimeoutMs / 10;
    // Win32 gives MAXDWORD a meaning of its own in some combinations.
    constexpr std::uint32_t kLongest = (std::numeric_limits<std::uint32_t>::max() - 1) / 10;
    return linkTimeout > kLongest ? kLongest : linkTimeout;
}

void ResetLinkPort(PortHandle port, std::uint32_t readTimeoutMs) {
    if (LinkPortState* known = Find(port)) {
        *known = Fresh(port, readTimeoutMs);
        return;
    }
    Make(port, readTimeoutMs);
}

void ForgetLinkPort(PortHandle port) {
    if (LinkPortState* known = Find(port)) *known = LinkPortState {};
}

LinkPortState& LinkPortOf(const Line& line) {
    if (LinkPortState* known = Find(line.port)) return *known;
    return Make(line.port, LinkTimeoutMs(line.linkTimeout));
}

std::chrono::milliseconds ReplyBudget(const Line& line) {
    const LinkPortState& port = LinkPortOf(line);
    std::uint32_t baud = line.baudRate;
    if (baud < kSlowestBaud) baud = kSlowestBaud;
    const std::uint64_t lineMs =
        (std::uint64_t {kReplyBufferSize} * kBitsPerCharacter * 1000u + baud - 1) / baud;
    return std::chrono::milliseconds(std::uint64_t {port.readTimeoutMs} + lineMs) + kBudgetMargin;
}

}  // namespace kel
