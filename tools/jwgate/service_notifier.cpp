#include "tools/jwgate/service_notifier.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace jwgate {

ServiceNotifier::ServiceNotifier() {
    std::uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0) interval_ = std::chrono::microseconds(usec);
}

void ServiceNotifier::Ready() const { sd_notify(0, "READY=1"); }

void ServiceNotifier::Stopping() const { sd_notify(0, "STOPPING=1"); }

void ServiceNotifier::Pet() {
    const Clock::time_point now = Clock::now();
    if (interval_.count() == 0 || now - lastPet_ < interval_ / 2) return;
    lastPet_ = now;
    sd_notify(0, "WATCHDOG=1");
}

}  // namespace jwgate
