// The HTTP endpoint's users: a file of "name:hash" lines as `htpasswd -B`
// writes them, each hash a bcrypt one.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace jwgate {

// The users by name, or nothing with what is wrong, e.g.
// "line 3: \"ann\" has no bcrypt hash ($2y$ or $2b$)".
std::optional<std::map<std::string, std::string>> ReadUsersFile(const std::string& path, std::string* problem);

}  // namespace jwgate
