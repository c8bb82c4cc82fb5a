// The lines jwgate::Log writes while it lives, for the tests that look at
// them.
#pragma once

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "tools/jwgate/core/log.h"

namespace jwgate::test {

class LogLines {
public:
    LogLines() {
        SetLogCapture([this](LogLevel, const std::string& text) {
            std::lock_guard lock(mutex_);
            lines_.push_back(text);
        });
    }
    ~LogLines() { SetLogCapture({}); }
    LogLines(const LogLines&) = delete;
    LogLines& operator=(const LogLines&) = delete;
    // How many lines hold part.
    std::size_t Count(const std::string& part) {
        std::lock_guard lock(mutex_);
        return std::count_if(lines_.begin(), lines_.end(), [&](auto& line) { return line.find(part) != line.npos; });
    }
    bool Has(const std::string& part) { return Count(part) > 0; }

private:
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace jwgate::test
