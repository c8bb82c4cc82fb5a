#include "tools/jwgate/store/store_file_aside.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>

namespace jwgate {

std::string CorruptName(const std::string& path) {
    std::time_t now = std::time(nullptr);
    std::tm utc {};
    gmtime_r(&now, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc);
    std::string name = path + ".corrupt-" + stamp;
    // Two in the same second keep both.
    for (int n = 2; std::filesystem::exists(name); ++n) name = path + ".corrupt-" + stamp + "-" + std::to_string(n);
    return name;
}

std::string MoveStoreAside(const std::string& path, std::string* error) {
    std::string aside = CorruptName(path);
    if (std::rename(path.c_str(), aside.c_str()) != 0) {
        *error = "cannot rename it to " + aside + ": " + std::strerror(errno);
        return "";
    }
    // The log belongs to the damaged file; a new file must not replay it.
    std::error_code ignored;
    if (std::filesystem::exists(path + "-wal", ignored)) std::rename((path + "-wal").c_str(), (aside + "-wal").c_str());
    std::filesystem::remove(path + "-shm", ignored);
    return aside;
}

}  // namespace jwgate
