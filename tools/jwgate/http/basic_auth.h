// HTTP basic authentication against bcrypt hashes, checked with the
// system's crypt (libxcrypt). bcrypt costs tens of milliseconds by design,
// so a credential that passed is remembered for a while, by the SHA-256 of
// the exact Authorization header: a scrape every second pays once. A
// failure is never remembered, so a wrong password always costs a full
// check. Thread-safe: the endpoint's threads check at once.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tools/jwgate/core/clock.h"

namespace jwgate {

// The name and password an Authorization header carries: "Basic " (the
// scheme in any case) and the base64 of "name:password", split at the first
// colon. Nothing when the scheme is another, the base64 is malformed, or
// the decoded text holds no colon.
struct BasicCredentials {
    std::string name;
    std::string password;
    bool operator==(const BasicCredentials&) const = default;
};
std::optional<BasicCredentials> BasicCredentialsOf(const std::string& authorization);

class BasicAuth {
public:
    explicit BasicAuth(std::map<std::string, std::string> users) : users_(std::move(users)) {}
    // True when authorization ("Basic base64(name:password)") names a user
    // with that password.
    bool Allows(const std::string& authorization);
    static constexpr const char* kChallenge = "Basic realm=\"jwgate\", charset=\"UTF-8\"";

private:
    using Digest = std::array<unsigned char, 32>;
    bool Check(const std::string& authorization) const;

    const std::map<std::string, std::string> users_;
    std::mutex mutex_;
    std::map<Digest, Clock::time_point> passed_;  // until when
};

}  // namespace jwgate
