// The executor of a scan plan: an item's raw value out of a run, and a plan
// carried out against the simulator on a pseudo-terminal, where each item's
// owner hears its value, a withheld timer value or a failed read, with the
// attempts, the reads left out and the stop its caller asks for.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "link/link_context.h"
#include "scan/plan_executor.h"
#include "scan/scan_planner.h"
#include "serial/serial_port.h"
#include "tools/jwsim/simulator.h"

namespace kel::scan {
namespace {

TEST(RawFromRun, EachKindOfItemOutOfItsRun) {
    RangeValues bytes;
    const std::int32_t run[] = {0x12, 0x34, 0x56, 0x78, 0x81};
    for (int i = 0; i < 5; ++i) bytes.values[i] = run[i];
    const ItemRange registers {1, kAreaMA, 0100, 5};
    RangeValues timers;
    timers.values[0] = 1234;
    timers.delivered[0] = true;
    timers.values[1] = 99;  // withheld by its type character
    const ItemRange timerRun {1, kAreaT, 5, 2};
    struct Case {
        const char* what;
        Item item;
        const ItemRange& range;
        const RangeValues& values;
        bool delivered;
        std::uint32_t raw;
    };
    const Case cases[] = {
        {"8-bit register", {1, kAreaMA, 0101, 1}, registers, bytes, true, 0x34},
        {"16-bit register, low byte first", {1, kAreaMA, 0100, 2}, registers, bytes, true, 0x3412},
        {"32-bit register", {1, kAreaMA, 0101, 4}, registers, bytes, true, 0x81785634},
        {"relay 0 of the first byte", {1, kAreaR, 01000, 0}, registers, bytes, true, 0},  // 0x12: bit 0 clear
        {"relay 1 of the first byte", {1, kAreaR, 01001, 0}, registers, bytes, true, 1},
        {"relay 7 of the fifth byte", {1, kAreaR, 01047, 0}, registers, bytes, true, 1},  // 0x81
        {"relay 6 of the fifth byte", {1, kAreaR, 01046, 0}, registers, bytes, true, 0},
        {"timer value delivered", {1, kAreaT, 5, 0}, timerRun, timers, true, 1234},
        {"timer value withheld", {1, kAreaT, 6, 0}, timerRun, timers, false, 99},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::uint32_t raw = 0xDEADBEEF;
        EXPECT_EQ(RawFromRun(c.item, c.range, c.values, &raw), c.delivered);
        EXPECT_EQ(raw, c.raw);
    }
}

// What the visitor heard, item by item and read by read.
class Recorder final : public PlanVisitor {
public:
    ReadTurn BeforeRead(const PlannedRead& read) override {
        ++before;
        const std::int32_t station = read.isRange ? read.range.station : read.item.station;
        if (station == skipStation) return {ReadTurn::Action::kSkip};
        if (before > stopBefore) return {ReadTurn::Action::kStop};
        return {ReadTurn::Action::kRead, attempts};
    }
    void OnItem(const PlanItem& item, ItemOutcome outcome) override {
        std::string text = std::to_string(item.owner) + ":";
        switch (outcome.kind) {
            case ItemOutcome::Kind::kValue: text += std::to_string(outcome.raw); break;
            case ItemOutcome::Kind::kWithheld: text += "withheld"; break;
            case ItemOutcome::Kind::kFailed: text += "failed"; break;
        }
        items.push_back(text);
    }
    bool AfterRead(const PlannedRead&, int result) override {
        results.push_back(result);
        return result == kLinkOk || !stopOnFailure;
    }

    int attempts = kMaxAttempts;
    std::int32_t skipStation = -1;
    int stopBefore = 1000;  // reads asked for before the plan is stopped
    bool stopOnFailure = false;
    int before = 0;
    std::vector<std::string> items;
    std::vector<int> results;
};

class PlanOnPty : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        simulator_.Edit(1, [](jwsim::Controller& c) {
            c.SetRegister('A', 0100, 0x34);
            c.SetRegister('A', 0101, 0x12);
            c.SetTimer(5, 1234, '4');
            c.SetTimer(6, 77, '1');  // a type character that withholds the value
            c.SetRtRelay(3, '1');
        });
        const LineParameters parameters {9600, 8, 0, 0};
        PortHandle port = nullptr;
        ASSERT_EQ(OpenPort(simulator_.portName().c_str(), &parameters, 8, &port), kSerialOk);
        line_.Configure({.baudRate = 9600});  // WAITINGTIME 0
        AttachPort(line_, port, 5);           // 50 ms for a silent station
    }
    void TearDown() override {
        if (line_.state.port != nullptr) ClosePort(line_.state.port);
    }

    // Owners 0 to 5: MA0100 (16 bits), relay R01002, timers 5 and 6 of
    // station 1, RT relay 3 of station 1, and MA0100 of station 2, which no
    // controller answers.
    std::vector<PlannedRead> Plan() const {
        const std::vector<PlanItem> items = {
            {{1, kAreaMA, 0100, 2}, 0}, {{1, kAreaR, 01002, 0}, 1}, {{1, kAreaT, 5, 0}, 2},
            {{1, kAreaT, 6, 0}, 3},     {{1, kAreaRT, 3, 0}, 4},    {{2, kAreaMA, 0100, 2}, 5},
        };
        return PlanReads(items, PlanLimits {});
    }

    jwsim::Simulator simulator_ {{.stations = {1}}};
    LinkContext line_;
};

TEST_F(PlanOnPty, EveryOwnerHearsItsValueAWithheldValueOrItsFailedRead) {
    Recorder recorder;
    recorder.attempts = 2;
    ExecutePlan(line_, Plan(), recorder);
    // In the plan's order: the timer run, the register run (0x34 is
    // 00110100: relay 2 of byte 0100 is set), station 2, the RT relay.
    EXPECT_EQ(recorder.items, (std::vector<std::string> {"2:1234", "3:withheld", "1:1", "0:4660", "5:failed",
                                                         "4:1"}));
    EXPECT_EQ(recorder.results, (std::vector<int> {kLinkOk, kLinkOk, kLinkFailed, kLinkOk}));
    // The silent station's read took the two attempts its caller allowed.
    EXPECT_EQ(simulator_.Payloads(), (std::vector<std::string> {"01?0MTC00050006", "01?0MRGA0100A0101",
                                                                "02?0MRGA0100A0101", "02?0MRGA0100A0101",
                                                                "01?0MRLT0003"}));
}

TEST_F(PlanOnPty, AReadLeftOutGoesNowhereAndTheCallerEndsThePlan) {
    Recorder skipping;
    skipping.skipStation = 2;
    ExecutePlan(line_, Plan(), skipping);
    EXPECT_EQ(skipping.items, (std::vector<std::string> {"2:1234", "3:withheld", "1:1", "0:4660", "4:1"}));
    EXPECT_EQ(skipping.results.size(), 3u);
    EXPECT_EQ(simulator_.Payloads(),
              (std::vector<std::string> {"01?0MTC00050006", "01?0MRGA0100A0101", "01?0MRLT0003"}));

    simulator_.ClearRequests();
    Recorder stopping;
    stopping.stopOnFailure = true;
    stopping.attempts = 1;
    ExecutePlan(line_, Plan(), stopping);  // ends after station 2's failed read
    EXPECT_EQ(stopping.results, (std::vector<int> {kLinkOk, kLinkOk, kLinkFailed}));
    EXPECT_EQ(stopping.items.back(), "5:failed");
    EXPECT_EQ(simulator_.Payloads(),
              (std::vector<std::string> {"01?0MTC00050006", "01?0MRGA0100A0101", "02?0MRGA0100A0101"}));

    Recorder stopped;
    stopped.stopBefore = 1;  // the second BeforeRead stops it
    ExecutePlan(line_, Plan(), stopped);
    EXPECT_EQ(stopped.items, (std::vector<std::string> {"2:1234", "3:withheld"}));
    EXPECT_EQ(stopped.before, 2);
}

}  // namespace
}  // namespace kel::scan
