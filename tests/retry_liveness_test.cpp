// Retries on a line paced like a real one: the simulator sends its replies a
// character at a time at the line's speed, so a damaged reply is still
// arriving when its attempt has already failed. Through KelMain, on a
// pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "support/quick_reply_directory.h"
#include "teskar.h"
#include "tools/jwsim/simulator.h"

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::Simulator;
using std::chrono::milliseconds;

constexpr std::uint32_t kLinkTimeout = 10;  // 100 ms

class PacedLine : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(directory_.Enter("kel-paced")) << directory_.error(); }
    void TearDown() override { Close(); }

    void Open(std::uint32_t baud, int waitingTime, bool protect = false) {
        Close();
        std::FILE* file = std::fopen("kelwnSRP.int", "w");
        ASSERT_NE(file, nullptr);
        std::fprintf(file, "WAITINGTIME %d\n", waitingTime);
        std::fclose(file);
        simulator_ = std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {.protect = protect, .baud = baud});
        ASSERT_TRUE(simulator_->Start()) << simulator_->error();
        OpenRequest open {};
        std::snprintf(open.portName, sizeof open.portName, "%s", simulator_->portName().c_str());
        open.enable = 1;
        open.LinkTimeout = kLinkTimeout;
        open.line = {static_cast<std::uint16_t>(baud), 8, 0, 0};
        ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
        teskar_clear();
    }

    void Close() {
        if (state_.portHandle != nullptr) Call(KEL_CMD_CLOSE, nullptr);
        state_ = {};
        simulator_.reset();
    }

    std::int32_t Call(std::int32_t command, void* block) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }

    GateAddress Check(const char* gas) {
        GateCheckRequest check {gas, 0, KEL_VALUE_ANALOG16, 1, 0, {}};
        EXPECT_EQ(Call(KEL_CMD_CHECK_GATE, &check), KEL_OK) << gas;
        return check.address;
    }

    std::int32_t Read(const char* gas, std::uint32_t* cell) {
        GateRequest read {gas, 0, Check(gas), KEL_VALUE_ANALOG16, 1, 0, cell};
        return Call(KEL_CMD_READ_GATE, &read);
    }

    std::int32_t Write(const char* gas, std::uint16_t value) {
        std::uint32_t cell = static_cast<std::uint32_t>(value) << 16;
        GateRequest write {gas, 0, Check(gas), KEL_VALUE_ANALOG16, 1, 0, &cell};
        return Call(KEL_CMD_WRITE_GATE, &write);
    }

    std::uint16_t Held(int address) {
        const Controller c = simulator_->Snapshot(1);
        return static_cast<std::uint16_t>(c.Register('A', address) | c.Register('A', address + 1) << 8);
    }

    // Requests with this mnemonic since the last look; clears the record.
    long Sent(const char* mnemonic) {
        const std::vector<std::string> payloads = simulator_->Payloads();
        simulator_->ClearRequests();
        return std::count_if(payloads.begin(), payloads.end(),
                             [&](const std::string& p) { return p.compare(4, 3, mnemonic) == 0; });
    }

    DriverState state_ {};
    std::unique_ptr<Simulator> simulator_;
    kel::test_support::QuickReplyDirectory directory_;
};

// A reply broken off mid-frame fails its attempt; the next request waits for
// the rest of it to pass, so the second attempt starts on a frame boundary
// and succeeds, at either speed and either reply pause.
TEST_F(PacedLine, OneDamagedReplyCostsOneAttempt) {
    const std::pair<const char*, FaultKind> kinds[] = {
        {"no header", FaultKind::kNoHeader},
        {"garbage before", FaultKind::kGarbageBefore},
        {"over-long", FaultKind::kOverLong},
        {"cut short", FaultKind::kCutShort},
    };
    for (const std::uint32_t baud : {9600u, 19200u}) {
        for (const int waitingTime : {0, 50}) {
            ASSERT_NO_FATAL_FAILURE(Open(baud, waitingTime));
            std::uint16_t value = 0x1000;
            for (const auto& [name, kind] : kinds) {
                SCOPED_TRACE(std::string(name) + " at " + std::to_string(baud) + " baud, WAITINGTIME " +
                             std::to_string(waitingTime));
                ASSERT_TRUE(simulator_->Edit(1, [&](Controller& c) {
                    c.SetRegister('A', 0100, static_cast<std::uint8_t>(++value));
                    c.SetRegister('A', 0101, static_cast<std::uint8_t>(value >> 8));
                }));
                simulator_->InjectFault({.kind = kind});
                std::uint32_t cell = 0;
                EXPECT_EQ(Read("01MA0100", &cell), KEL_OK);
                EXPECT_EQ(cell >> 16, value);
                EXPECT_EQ(Sent("MRG"), 2);

                simulator_->InjectFault({.kind = kind});
                EXPECT_EQ(Write("01MA0200", ++value), KEL_OK);
                EXPECT_EQ(Sent("WRG"), 2);
                EXPECT_EQ(Held(0200), value);
            }
        }
    }
}

// Five acknowledgements lost, the controller carrying out every write: the
// writes after them must not take one another's acknowledgements for ever.
// Each acknowledgement echoes no address, so the next write to another
// register waits until the lost ones can no longer come, then the line
// serves as before.
TEST_F(PacedLine, LostAcknowledgementsHoldUpTheNextWriteOnceAndFailNone) {
    ASSERT_NO_FATAL_FAILURE(Open(9600, 0));
    simulator_->InjectFault({.kind = FaultKind::kNoReply, .replies = 5});
    EXPECT_EQ(Write("01MA0100", 0x0101), KEL_LINE_FAILURE);
    EXPECT_EQ(Held(0100), 0x0101);
    simulator_->ClearRequests();

    const auto start = std::chrono::steady_clock::now();
    int failed = 0;
    for (int i = 0; i < 10; ++i) {
        const int address = 0200 + 2 * i;
        char gas[16];
        std::snprintf(gas, sizeof gas, "01MA%04o", address);
        failed += Write(gas, static_cast<std::uint16_t>(0x2000 + i)) != KEL_OK;
        EXPECT_EQ(Held(address), 0x2000 + i) << i;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    std::printf("ten writes after five lost acknowledgements: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<milliseconds>(took).count()));
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(Sent("WRG"), 10);
    // Two seconds and one reply budget (100 ms, 600 characters, 100 ms).
    EXPECT_LT(took, milliseconds(2000 + 888));
}

// A lost acknowledgement of write mode off leaves the next switch's
// acknowledgement ambiguous; either way the write that follows proves the
// mode, so the switch is taken and only the attempt that lost it fails.
TEST_F(PacedLine, ALostWriteModeAcknowledgementCostsOneAttempt) {
    ASSERT_NO_FATAL_FAILURE(Open(9600, 0, true));
    // Refused for write mode, EWR 2 and the write acknowledged, EWR 0 lost.
    simulator_->InjectFault({.kind = FaultKind::kDelay, .replies = 3, .delay = milliseconds(0)});
    simulator_->InjectFault({.kind = FaultKind::kNoReply, .replies = 1});
    EXPECT_EQ(Write("01MA0100", 0x4242), KEL_OK);
    EXPECT_EQ(Held(0100), 0x4242);
    // The refused write, the one whose EWR 0 was lost, and the one after.
    EXPECT_EQ(Sent("WRG"), 3);
    EXPECT_EQ(simulator_->Snapshot(1).writeMode, 0);
}

}  // namespace
