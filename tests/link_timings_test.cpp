// The timings a link works out from its settings, and that a change of
// settings works them out again.
#include <gtest/gtest.h>

#include <chrono>

#include "link/link_context.h"

namespace kel {
namespace {

using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(LinkTimings, FollowEachChangeOfTheSettings) {
    struct Case {
        const char* what;
        LinkSettings settings;
        milliseconds replyBudget;  // read timeout + 600 characters of 11 bits + 100 ms
        milliseconds pollInterval;
        microseconds quietTime;
    };
    const Case cases[] = {
        {"9600 baud", {.baudRate = 9600, .readTimeoutMs = 100}, milliseconds(888), milliseconds(3),
         microseconds(20000)},
        {"twice as fast", {.baudRate = 19200, .readTimeoutMs = 100}, milliseconds(544), milliseconds(2),
         microseconds(20000)},
        {"a longer read timeout", {.baudRate = 19200, .readTimeoutMs = 1000}, milliseconds(1444), milliseconds(2),
         microseconds(20000)},
        {"1200 baud: quiet after five characters", {.baudRate = 1200, .readTimeoutMs = 1000}, milliseconds(6600),
         milliseconds(10), microseconds(45834)},
        {"fast line: polled every millisecond", {.baudRate = 115200, .readTimeoutMs = 1000}, milliseconds(1158),
         milliseconds(1), microseconds(20000)},
        {"no baud rate counts as 50", {.baudRate = 0, .readTimeoutMs = 1000}, milliseconds(133100), milliseconds(10),
         microseconds(1100000)},
    };
    LinkContext link;
    EXPECT_EQ(link.timings().replyBudget, milliseconds(133100)) << "defaults";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        link.Configure(c.settings);
        EXPECT_EQ(link.timings().replyBudget, c.replyBudget);
        EXPECT_EQ(link.timings().owedLifetime, 2 * c.replyBudget);
        EXPECT_EQ(link.timings().pollInterval, c.pollInterval);
        EXPECT_EQ(link.timings().quietTime, c.quietTime);
    }
}

}  // namespace
}  // namespace kel
