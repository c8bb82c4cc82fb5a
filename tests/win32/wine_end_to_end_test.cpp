// The Windows DLL as a Windows host uses it, under Wine: kelhost.exe loads
// KELWNSRP.dll with LoadLibrary and drives it through KelMain on COM5, which
// the Wine prefix maps to the simulator's pseudo-terminal. The same suite runs
// once for the 32-bit build and once for the 64-bit one, each in a prefix of
// its own (KEL_WINDOWS_BIN, KEL_WINE_PREFIX, KEL_WINE_ARCH).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "tools/jwsim/simulator.h"
#include "wine_host.h"

namespace {

using kel::jwsim::Controller;
using kel::jwsim::Fault;
using kel::jwsim::FaultKind;
using kel::jwsim::Simulator;
using wine_test::Reply;
using wine_test::WineHost;
using Logs = std::vector<std::string>;

std::string MakeScratch(const char* pattern) {
    std::string path = std::string("/tmp/") + pattern + "_XXXXXX";
    return mkdtemp(path.data()) != nullptr ? path : std::string();
}

class WineEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const char* bin = std::getenv("KEL_WINDOWS_BIN");
        if (bin == nullptr) return;
        bin_ = bin;
        // Without a prefix path (absolute) and its arch nothing is linked, and every test fails.
        const char* prefix = std::getenv("KEL_WINE_PREFIX");
        const char* arch = std::getenv("KEL_WINE_ARCH");
        if (prefix == nullptr || arch == nullptr || prefix[0] != '/') return;
        prefix_ = prefix;
        arch_ = arch;
        work_ = MakeScratch("kel_wine_work");
        // A fresh prefix each run: one left by an interrupted run may be half made.
        std::error_code ignored;
        std::filesystem::remove_all(prefix_, ignored);
        simulator_ = std::make_unique<Simulator>(kel::jwsim::SimulatorOptions {{1, 8}, false, "", {}});
        if (!simulator_->Start()) return;
        // The first run creates the prefix; COM5 is linked to the simulator
        // once its dosdevices folder exists.
        {
            WineHost warmUp(bin_, work_, prefix_, arch_);
            warmUp.Run("info", 180000);
        }
        const std::string link = prefix_ + "/dosdevices/com5";
        std::remove(link.c_str());
        linked_ = symlink(simulator_->devicePath().c_str(), link.c_str()) == 0;
    }
    static void TearDownTestSuite() {
        simulator_.reset();
        std::error_code ignored;
        if (!prefix_.empty()) std::filesystem::remove_all(prefix_, ignored);
        if (!work_.empty()) std::filesystem::remove_all(work_, ignored);
    }

    void SetUp() override {
        if (bin_.empty()) GTEST_SKIP() << "KEL_WINDOWS_BIN names no Windows build";
        ASSERT_TRUE(linked_) << "simulator, Wine prefix (KEL_WINE_PREFIX, KEL_WINE_ARCH) or COM5 link not ready";
        simulator_->ClearFaults();
        simulator_->ClearRequests();
        simulator_->Edit(1, [](Controller& c) { c = Controller(); });
        WriteConfiguration("WAITINGTIME 0\n");
        host_ = std::make_unique<WineHost>(bin_, work_, prefix_, arch_);
        ASSERT_TRUE(host_->started());
    }
    void TearDown() override { host_.reset(); }

    static void WriteConfiguration(const std::string& text) {
        std::ofstream(work_ + "/kelwnSRP.int", std::ios::binary) << text;
    }
    void Open() {
        const Reply opened = host_->Run("open COM5 9600 8 0 0 10");
        ASSERT_EQ(opened.result, 0) << opened.detail;
    }

    static std::string bin_;
    static std::string prefix_;
    static std::string arch_;
    static std::string work_;
    static bool linked_;
    static std::unique_ptr<Simulator> simulator_;
    std::unique_ptr<WineHost> host_;
};

std::string WineEndToEnd::bin_;
std::string WineEndToEnd::prefix_;
std::string WineEndToEnd::arch_;
std::string WineEndToEnd::work_;
bool WineEndToEnd::linked_ = false;
std::unique_ptr<Simulator> WineEndToEnd::simulator_;

TEST_F(WineEndToEnd, DriverInformationOpenAndConfigurationFile) {
    Reply info = host_->Run("info");
    EXPECT_EQ(info.result, 0);
    EXPECT_EQ(info.detail, "name \"Sharp PLC\" banner 379 bytes, line 9600/7/0/0");

    std::remove((work_ + "/kelwnSRP.int").c_str());
    Reply opened = host_->Run("open COM5 19200 8 0 0 10");
    EXPECT_EQ(opened.result, 0);
    EXPECT_EQ(opened.logs, (Logs {"32 KELSRP: Loaded succesfully",
                                  "32 KELSRP: Configuration file KelwnSRP.int was not found, using default values"}));
    EXPECT_EQ(host_->Run("close").result, 0);

    WriteConfiguration("WaitingTime 20\r\n");
    opened = host_->Run("open COM5 9600 8 0 0 10");
    EXPECT_EQ(opened.logs, (Logs {"32 KELSRP: Loaded succesfully",
                                  "32 KELSRP: Configuration file KelwnSRP.int was found, using the defined values"}));
    EXPECT_EQ(host_->Run("read 01MA0100 0").result, 0);
    EXPECT_EQ(host_->Run("warm").logs, Logs {"32 KELSRP: Warm start"});
    EXPECT_EQ(host_->Run("close").result, 0);
    EXPECT_EQ(host_->Run("reopen").result, 0);
    EXPECT_EQ(host_->Run("close").result, 0);

    const Reply missing = host_->Run("open COM9 9600 7 0 0 10");
    EXPECT_EQ(missing.result, 2);
    EXPECT_EQ(missing.logs, Logs {"32 KELSharp PLC : Fail to open COM9"});
    EXPECT_EQ(host_->Run("call 8").result, -1);
}

TEST_F(WineEndToEnd, GateChecksWithTheirMessages) {
    struct Case {
        const char* command;
        int result;
        const char* detail;  // null: not compared
        Logs logs;
    };
    const Case cases[] = {
        {"check 01MA1577 4", 0, "station 1 area 4 address 895 marker 255 width 32", {}},
        {"check 77R15777 6", 0, "station 63 area 0 address 7167 marker 255 width 0", {}},
        {"check 00m09000b 4", 0, "station 0 area 6 address 0 marker 255 width 8", {}},
        {"check 77R16000 6", 1, nullptr, {"32 KELSRP: Gate address 77R16000 not valid"}},
        {"check 00rt0400 6", 1, nullptr, {"32 KELSRP: Gate address 00RT0400 not valid"}},
        {"check 00r00000 0", 1, nullptr, {"32 KELSRP: Gate address 00R00000 should be digital!"}},
        {"check 00T0377 4", 1, nullptr, {"32 KELSRP: Gate address 00T0377 should be analog!"}},
        {"check 00x00000 6", 1, nullptr, {"32 KELSRP: GAS 00x00000 isn't correct"}},
        {"check 00r0000 6", 1, nullptr, {"32 KELSRP: GAS 00r0000 length isn't correct"}},
        {"block 00T0000 256", 0, nullptr, {}},
        {"block 00T0000 257", 1, nullptr, {}},
        {"block 00R00000 1", 1, nullptr, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const Reply reply = host_->Run(c.command);
        EXPECT_EQ(reply.result, c.result);
        if (c.detail != nullptr) {
            EXPECT_EQ(reply.detail, c.detail);
        }
        EXPECT_EQ(reply.logs, c.logs);
    }
}

TEST_F(WineEndToEnd, EveryAreaIsWrittenAndReadBack) {
    Open();
    struct Case {
        const char* gas;
        int type;
        long long value;
        const char* readBack;  // detail of the read after the write
    };
    const Case cases[] = {
        {"01R01234", 6, 1, "value 1 cell 0x00010000"},
        {"01RT0017", 6, 1, "value 1 cell 0x00010000"},
        {"01MA0100", 0, 0x1234, "value 4660 cell 0x12340000"},
        {"01MB0776", 1, 0xBEEF, "value 48879 cell 0xBEEF0000"},
        {"01MB0010B", 0, 0xAB, "value 171 cell 0x00AB0000"},
        {"01M09100", 4, 0x0A0B0C0D, "value 168496141 cell 0x0A0B0C0D"},
        {"01M19774", 5, -2, "value -2 cell 0xFFFFFFFE"},
        {"01M29000", 0, 7, "value 7 cell 0x00070000"},
        {"01M39776", 1, 65535, "value 65535 cell 0xFFFF0000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gas);
        const std::string gate = std::string(c.gas) + " " + std::to_string(c.type);
        EXPECT_EQ(host_->Run("write " + gate + " " + std::to_string(c.value)).result, 0);
        const Reply read = host_->Run("read " + gate);
        EXPECT_EQ(read.result, 0);
        EXPECT_EQ(read.detail, c.readBack);
        EXPECT_TRUE(read.logs.empty());
    }
    const Controller memory = simulator_->Snapshot(1);
    EXPECT_EQ(memory.Relay(01234), '1');
    EXPECT_EQ(memory.RtRelay(017), '1');
    EXPECT_EQ(memory.Register('A', 0100), 0x34);
    EXPECT_EQ(memory.Register('A', 0101), 0x12);
    EXPECT_EQ(memory.Register('0', 0100), 0x0D);
    EXPECT_EQ(memory.Register('0', 0103), 0x0A);

    // Timers and counters: the value comes from the controller, a write sets
    // the contact.
    simulator_->Edit(1, [](Controller& c) { c.SetTimer(5, 1234, '2'); });
    EXPECT_EQ(host_->Run("read 01T0005 0").detail, "value 1234 cell 0x04D20000");
    EXPECT_EQ(host_->Run("read 01T0005 3").detail, "value 1234 cell 0x449A4000");
    EXPECT_EQ(host_->Run("write 01T0005 0 1").result, 0);
    EXPECT_EQ(simulator_->Snapshot(1).Timer(5).set, '1');

    const std::vector<std::string> payloads = simulator_->Payloads();
    ASSERT_FALSE(payloads.empty());
    EXPECT_EQ(payloads.front(), "01?0SRR012341");
}

TEST_F(WineEndToEnd, ProtectedControllerGetsTheWriteModeSequence) {
    simulator_->Edit(1, [](Controller& c) { c.protect = true; });
    Open();
    const Reply written = host_->Run("write 01MA0100 0 4660");
    EXPECT_EQ(written.result, 0);
    EXPECT_EQ(written.logs, Logs {"8 KELSRP: Incorrect reply string to Write."});
    EXPECT_EQ(simulator_->Payloads(),
              (std::vector<std::string> {"01?0WRGA0100A01013412", "01?0EWR2", "01?0WRGA0100A01013412", "01?0EWR0"}));
    EXPECT_EQ(simulator_->Snapshot(1).writeMode, 0);
}

TEST_F(WineEndToEnd, FaultsAreRetriedFiveTimesWithTheirMessages) {
    Open();
    struct Case {
        Fault fault;
        const char* command;
        int result;
        Logs logs;
    };
    const Logs noWriteReply(5, "8 KELSRP: Can't read Write response");
    const Logs badWriteReply(5, "8 KELSRP: Incorrect reply string to Write.");
    Logs statusB(5, "32 KELSRP : Status Error: STS = b");
    Logs statusBWrite;
    for (int i = 0; i < 5; ++i) statusBWrite.insert(statusBWrite.end(), {statusB[0], badWriteReply[0]});
    const Case cases[] = {
        {{FaultKind::kNoReply, 5}, "read 01MA0100 0", 2, {}},
        {{FaultKind::kWrongChecksum, 5}, "read 01MA0100 0", 1, {}},
        {{FaultKind::kOtherStation, 5}, "read 01MA0100 0", 1, {}},
        {{FaultKind::kErrorStatus, 5, 0x0B}, "read 01MA0100 0", 2, statusB},
        {{FaultKind::kCutShort, 5}, "read 01MA0100 0", 2, {}},
        {{FaultKind::kNoReply, 5}, "write 01MA0100 0 1", 2, noWriteReply},
        {{FaultKind::kErrorStatus, 5, 0x0B}, "write 01MA0100 0 1", 1, statusBWrite},
        {{FaultKind::kWrongChecksum, 5}, "write 01MA0100 0 1", 1, badWriteReply},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + std::string(" fault ") + std::to_string(static_cast<int>(c.fault.kind)));
        simulator_->ClearRequests();
        simulator_->InjectFault(c.fault);
        const Reply reply = host_->Run(c.command);
        EXPECT_EQ(reply.result, c.result);
        EXPECT_EQ(reply.logs, c.logs);
        EXPECT_EQ(simulator_->Payloads().size(), 5u);
        EXPECT_EQ(simulator_->PendingFaultReplies(), 0);
    }
    // The line is usable again.
    EXPECT_EQ(host_->Run("read 01MA0100 0").result, 0);
}

}  // namespace
