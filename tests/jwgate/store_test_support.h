// What the message store's tests share: a directory of their own, a
// configuration in it, readings that say which they are, the log's lines.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "jwgate/log_lines.h"
#include "tools/jwgate/core/log.h"
#include "tools/jwgate/store/message_store.h"

namespace jwgate::store_test {

class TempDirectory {
public:
    TempDirectory() {
        std::string pattern = (std::filesystem::temp_directory_path() / "jwgate-store-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDirectory() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }
    std::string File(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline StoreConfig FileConfig(const std::string& path, int syncMs = 20) {
    StoreConfig config;
    config.enabled = true;
    config.path = path;
    config.syncMs = syncMs;
    return config;
}

// The n-th reading of a counter: its value and read time say n.
inline StoredReading Counter(int n, const std::string& point = "counter") {
    return StoredReading {point, static_cast<double>(n), Quality::kGood, 1'700'000'000'000 + n};
}

inline double ValueOf(const StoredMessage& message) {
    const auto* reading = std::get_if<StoredReading>(&message.body);
    return reading != nullptr && reading->value ? *reading->value : -1;
}

inline std::vector<std::uint64_t> IdsOf(const std::vector<StoredMessage>& messages) {
    std::vector<std::uint64_t> ids;
    for (const auto& message : messages) ids.push_back(message.id);
    return ids;
}

// True once done() holds, polled; false after a generous deadline.
inline bool WaitFor(const std::function<bool()>& done, std::chrono::seconds deadline = std::chrono::seconds(20)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

using StoreLog = test::LogLines;

}  // namespace jwgate::store_test
