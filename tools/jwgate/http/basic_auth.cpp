#include "tools/jwgate/http/basic_auth.h"

#include <crypt.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

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

// "name:password" out of the header, or nothing when it is not basic.
std::optional<std::string> Decoded(const std::string& authorization) {
    if (!authorization.starts_with(kScheme)) return std::nullopt;
    const std::string encoded = authorization.substr(kScheme.size());
    if (encoded.empty() || encoded.size() % 4 != 0 || encoded.size() > 4096) return std::nullopt;
    std::vector<unsigned char> out(encoded.size() / 4 * 3 + 1);
    const int length = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(encoded.data()),
                                       static_cast<int>(encoded.size()));
    if (length < 0) return std::nullopt;
    // EVP_DecodeBlock counts the padding's bytes as zeros.
    const std::size_t padding = encoded.ends_with("==") ? 2 : encoded.ends_with("=") ? 1 : 0;
    return std::string(out.begin(), out.begin() + (length - static_cast<int>(padding)));
}

}  // namespace

bool BasicAuth::Check(const std::string& authorization) const {
    const auto pair = Decoded(authorization);
    if (!pair) return false;
    const std::size_t colon = pair->find(':');
    if (colon == std::string::npos) return false;
    const auto user = users_.find(pair->substr(0, colon));
    if (user == users_.end()) return false;
    const std::string password = pair->substr(colon + 1);
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
