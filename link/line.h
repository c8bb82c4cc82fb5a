// One controller line as the link works on it. The commands make one from a
// host's driver instance for each call and keep what changed.
#pragma once

#include <cstdint>

#include "serial/port_handle.h"

namespace kel {

struct Line {
    PortHandle port = nullptr;
    std::uint32_t baudRate = 0;
    // The instance's link timeout in units of 10 ms, for a port the link
    // did not see opened.
    std::uint32_t linkTimeout = 0;
    // The controller asked for write mode: the next write switches it on
    // first and off after.
    bool writeEnablePending = false;
};

// Results of the link's operations; the host sees them as they are.
enum LinkResult : int {
    kLinkOk = 0,
    kLinkMismatch = 1,  // another request's reply, wrong checksum, write mode asked for, refused
    kLinkFailed = 2,    // line failed, no "::" header, refused by the controller, bad status character
};

// Reads and writes are tried this many times while they fail.
inline constexpr int kMaxAttempts = 5;

// Runs attempt (returning a LinkResult) until it succeeds, kMaxAttempts times
// at most, with no pause between; the result of the last run.
template <typename Attempt>
int Attempts(Attempt attempt) {
    int outcome = kLinkFailed;
    for (int run = 0; run < kMaxAttempts && outcome != kLinkOk; ++run) outcome = attempt();
    return outcome;
}

}  // namespace kel
