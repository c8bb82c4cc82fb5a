#include "tools/jwgate/config/users_file.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace jwgate {

std::optional<std::map<std::string, std::string>> ReadUsersFile(const std::string& path, std::string* problem) {
    std::ifstream file(path);
    if (!file) {
        *problem = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    std::map<std::string, std::string> users;
    std::string line;
    for (int number = 1; std::getline(file, line); ++number) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '#') continue;
        const std::size_t colon = line.find(':');
        const std::string where = "line " + std::to_string(number) + ": ";
        if (colon == 0 || colon == std::string::npos) {
            *problem = where + "expected name:hash";
            return std::nullopt;
        }
        const std::string name = line.substr(0, colon);
        const std::string hash = line.substr(colon + 1);
        // bcrypt's "$2y$NN$" and 53 characters of salt and digest.
        const bool bcrypt = (hash.starts_with("$2y$") || hash.starts_with("$2b$")) && hash.size() == 60;
        if (!bcrypt) {
            *problem = where + "\"" + name + "\" has no bcrypt hash ($2y$ or $2b$, as htpasswd -B writes)";
            return std::nullopt;
        }
        if (!users.emplace(name, hash).second) {
            *problem = where + "\"" + name + "\" is named twice";
            return std::nullopt;
        }
    }
    if (file.bad()) {
        *problem = std::string("cannot be read: ") + std::strerror(errno);
        return std::nullopt;
    }
    if (users.empty()) {
        *problem = "names no user";
        return std::nullopt;
    }
    return users;
}

}  // namespace jwgate
