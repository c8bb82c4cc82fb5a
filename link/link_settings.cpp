#include "link/link_settings.h"

#include <algorithm>

#include "protocol/frame.h"

namespace kel {
namespace {

constexpr std::uint64_t kBitsPerCharacter = 11;
constexpr std::uint32_t kSlowestBaud = 50;
constexpr std::chrono::milliseconds kBudgetMargin {100};
constexpr int kPollCharacters = 2;
constexpr std::chrono::milliseconds kLongestPoll {10};
constexpr int kQuietCharacters = 5;
constexpr std::chrono::milliseconds kShortestQuiet {20};

// Time for n characters at baud, rounded up to a whole microsecond.
std::chrono::microseconds CharacterTime(std::uint32_t baudRate, int n) {
    const std::uint64_t baud = std::max(baudRate, kSlowestBaud);
    return std::chrono::microseconds((std::uint64_t(n) * kBitsPerCharacter * 1000000u + baud - 1) / baud);
}

}  // namespace

LinkTimings TimingsOf(const LinkSettings& settings) {
    using std::chrono::ceil;
    using std::chrono::milliseconds;
    LinkTimings timings;
    timings.pollInterval = std::clamp(ceil<milliseconds>(CharacterTime(settings.baudRate, kPollCharacters)),
                                      milliseconds(1), kLongestPoll);
    timings.quietTime =
        std::max<std::chrono::microseconds>(CharacterTime(settings.baudRate, kQuietCharacters), kShortestQuiet);
    const auto line = ceil<milliseconds>(CharacterTime(settings.baudRate, kReplyBufferSize));
    timings.replyBudget = milliseconds(settings.readTimeoutMs) + line + kBudgetMargin;
    timings.owedLifetime = 2 * timings.replyBudget;
    return timings;
}

}  // namespace kel
