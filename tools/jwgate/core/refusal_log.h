// A warning for a client refused by the allow-list, at most once a minute
// per address: a scanner knocking every second must not flood the log.
// Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <string>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

class RefusalLog {
public:
    explicit RefusalLog(std::string server) : server_(std::move(server)) {}
    void Refused(const std::string& address);

private:
    const std::string server_;
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> lastLine_;
    std::map<std::string, int> unsaid_;  // refusals since the last line, by address
};

}  // namespace jwgate
