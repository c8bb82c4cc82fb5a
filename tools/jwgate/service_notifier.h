// What systemd hears from jwgate run as a Type=notify service: ready once the
// servers listen, the watchdog petted while the scan runs, stopping on a
// clean stop. Run by hand (no NOTIFY_SOCKET) it says nothing.
#pragma once

#include <chrono>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

class ServiceNotifier {
public:
    // Reads the watchdog interval systemd gave this process (WATCHDOG_USEC).
    ServiceNotifier();

    void Ready() const;
    void Stopping() const;

    // Zero when no watchdog watches this process.
    std::chrono::microseconds watchdogInterval() const { return interval_; }
    // WATCHDOG=1, at most once per half interval; from one thread only (the
    // scan's), which must call it at least that often.
    void Pet();

private:
    std::chrono::microseconds interval_ {0};
    Clock::time_point lastPet_ {};
};

}  // namespace jwgate
