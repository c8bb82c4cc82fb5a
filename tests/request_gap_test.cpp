// The quiet time a line keeps between the end of one exchange and the next
// request: what the link waits through the platform for each time already
// passed, that a line without it waits nothing, the gaps the simulator sees
// between requests on a pseudo-terminal, and a stop that does not wait it
// out.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "link/link_context.h"
#include "link/read_range.h"
#include "link/reply_pairing.h"
#include "protocol/requests.h"
#include "serial/serial_port.h"
#include "support/fake_serial_platform.h"
#include "tools/jwsim/simulator.h"

namespace kel {
namespace {

using std::chrono::milliseconds;
using test_support::FakeSerialPlatform;
using test_support::PlatformCall;

class RequestGapFake : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.AddDevice("COM1");
        UseSerialPlatform(&fake_);
        const LineParameters parameters {9600, 8, 0, 0};
        PortHandle port = nullptr;
        ASSERT_EQ(OpenPort("COM1", &parameters, 8, &port), kSerialOk);
        link_.Configure({.baudRate = 9600});
        AttachPort(link_, port, 10);
        ASSERT_TRUE(BuildRangeReadRequest({1, kAreaMA, 0100, 2}, &request_));
        fake_.ClearLog();
    }
    void TearDown() override { UseSerialPlatform(nullptr); }

    // The platform's sleeps before the request's frame is written, and
    // whether it was.
    std::vector<std::uint32_t> SleepsBeforeWrite(bool* written) const {
        std::vector<std::uint32_t> sleeps;
        *written = false;
        for (const auto& record : fake_.Log()) {
            if (record.call == PlatformCall::Write) {
                *written = true;
                break;
            }
            if (record.call == PlatformCall::Sleep) sleeps.push_back(record.count);
        }
        return sleeps;
    }

    FakeSerialPlatform fake_;
    LinkContext link_;
    Request request_;
};

TEST_F(RequestGapFake, WaitsOnlyWhatIsLeftOfTheGapSinceTheLastExchange) {
    struct Case {
        const char* what;
        std::uint32_t gapMs;
        milliseconds endedAgo;
        std::uint32_t leastMs;  // the wait, when one is due, lies in [leastMs, mostMs]
        std::uint32_t mostMs;
    };
    const Case cases[] = {
        {"no gap: no pause, as the driver always ran", 0, milliseconds(0), 0, 0},
        {"just ended: the whole gap", 1000, milliseconds(0), 800, 1000},
        {"ended 400 ms ago: the rest", 1000, milliseconds(400), 400, 600},
        {"ended longer ago than the gap: none", 1000, milliseconds(5000), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.ClearLog();
        LinkSettings settings = link_.settings();
        settings.requestGapMs = c.gapMs;
        link_.Configure(settings);
        link_.state.exchangeEnded = LinkClock::now() - c.endedAgo;
        ASSERT_EQ(SendRequest(link_, request_), kLinkOk);
        bool written = false;
        const std::vector<std::uint32_t> sleeps = SleepsBeforeWrite(&written);
        EXPECT_TRUE(written);
        if (c.mostMs == 0) {
            EXPECT_TRUE(sleeps.empty()) << sleeps.size() << " sleep(s), the first " << sleeps.front() << " ms";
            continue;
        }
        ASSERT_EQ(sleeps.size(), 1u);
        EXPECT_GE(sleeps[0], c.leastMs);
        EXPECT_LE(sleeps[0], c.mostMs);
    }
}

// The same fixture serves the attempts a silent station gets: a program
// probing a controller it knows is silent asks for fewer than five.
TEST_F(RequestGapFake, ASilentStationGetsTheAttemptsTheLinkAllowsBetweenOneAndFive) {
    const std::pair<int, std::size_t> cases[] = {{5, 5}, {1, 1}, {3, 3}, {0, 1}, {-2, 1}, {9, 5}};
    for (const auto& [attempts, writes] : cases) {
        SCOPED_TRACE(attempts);
        fake_.ClearLog();
        RangeValues values;
        EXPECT_EQ(ReadRange(link_, {1, kAreaMA, 0100, 2}, &values, attempts), kLinkFailed);
        EXPECT_EQ(fake_.CallsOf(PlatformCall::Write).size(), writes);
    }
}

class RequestGapPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        const LineParameters parameters {9600, 8, 0, 0};
        PortHandle port = nullptr;
        ASSERT_EQ(OpenPort(simulator_.portName().c_str(), &parameters, 8, &port), kSerialOk);
        line_.Configure({.baudRate = 9600});
        line_.hooks.stop = &stop_;
        AttachPort(line_, port, 50);
    }
    void TearDown() override {
        if (line_.state.port != nullptr) ClosePort(line_.state.port);
    }

    jwsim::Simulator simulator_ {{.stations = {1}, .baud = 9600}};
    std::atomic<bool> stop_ {false};
    LinkContext line_;
};

TEST_F(RequestGapPty, AStopDuringTheGapEndsTheReadWithoutSendingIt) {
    LinkSettings settings = line_.settings();
    settings.requestGapMs = 10000;
    line_.Configure(settings);
    RangeValues values;
    ASSERT_EQ(ReadRange(line_, {1, kAreaMA, 0100, 2}, &values), kLinkOk);
    std::thread stopper([&] {
        std::this_thread::sleep_for(milliseconds(200));
        stop_.store(true);
    });
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReadRange(line_, {1, kAreaMA, 0100, 2}, &values), kLinkFailed);
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    stopper.join();
    std::printf("a stop 200 ms into a 10 s gap ended the read after %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_LT(took, milliseconds(5000));
    EXPECT_EQ(simulator_.Payloads().size(), 1u);
}

}  // namespace
}  // namespace kel
