#include "tools/jwgate/http/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace jwgate {
namespace {

constexpr std::chrono::minutes kRemembered {10};
// Credentials remembered at most: enough for every scraper and browser of a
// plant, bounded against someone trying many good ones.
constexpr std::size_t kMostRemembered = 256;
constexpr std::string_view kScheme = "Basic ";

bool Base64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

bool SameLetters(char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
}

}  // namespace

std::optional<BasicCredentials> BasicCredentialsOf(const std::string& authorization) {
    // The scheme's name is case-insensitive (RFC 7235), one space before the credentials.
    if (authorization.size() < kScheme.size() ||
        !std::equal(kScheme.begin(), kScheme.end(), authorization.begin(), SameLetters)) {
        return std::nullopt;
    }
    const std::string encoded = authorization.substr(kScheme.size());
    if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096) return std::nullopt;
    // EVP_DecodeBlock takes "=" anywhere as zero bits: only one or two at the end are padding.
    const std::size_t padding = encoded.ends_with("==") ? 2 : encoded.ends_with("=") ? 1 : 0;
    if (!std::all_of(encoded.begin(), encoded.end() - static_cast<long>(padding), Base64Character)) return std::nullopt;
    std::vector<unsigned char> out(encoded.size() / 4 * 3 + 1);
    const int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0) return std::nullopt;
    // It counts the padding's bytes as zeros.
    const std::string pair(out.begin(), out.begin() + (length - static_cast<int>(padding)));
    const std::size_t colon = pair.find(':');
    if (colon == std::string::npos) return std::nullopt;
    return BasicCredentials {pair.substr(0, colon), pair.substr(colon + 1)};
}

bool BasicAuth::Check(const std::string& authorization) const {
    const auto credentials = BasicCredentialsOf(authorization);
    if (!credentials) return false;
    const auto user = users_.find(credentials->name);
    if (user == users_.end()) return false;
    const std::string& password = credentials->password;
    if (password.find('\0') != std::string::npos) return false;
    const std::string& hash = user->second;
    // crypt_rn keeps its state in data: nothing shared between threads.
    auto data = std::make_unique<crypt_data>();
    const char* computed = crypt_rn(password.c_str(), hash.c_str(), data.get(), sizeof *data);
    return computed != nullptr && std::char_traits<char>::length(computed) == hash.size() &&
           CRYPTO_memcmp(computed, hash.data(), hash.size()) == 0;
}

bool BasicAuth::Allows(const std::string& authorization) {
    Digest digest {};
    unsigned int length = 0;
    if (EVP_Digest(authorization.data(), authorization.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        return Check(authorization);
    }
    const Clock::time_point now = Clock::now();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = passed_.find(digest);
        if (found != passed_.end() && now < found->second) return true;
    }
    // The slow check runs outside the lock: other requests go on meanwhile.
    if (!Check(authorization)) return false;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (passed_.size() >= kMostRemembered) {
        std::erase_if(passed_, [now](const auto& entry) { return now >= entry.second; });
        if (passed_.size() >= kMostRemembered) passed_.clear();
    }
    passed_[digest] = now + kRemembered;
    return true;
}

}  // namespace jwgate
