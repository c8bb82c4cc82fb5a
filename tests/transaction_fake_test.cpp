// Reads and writes through KelMain with the recording platform behind the
// port: the exact bytes each request puts on the line, where the driver
// waits, how replies are decoded into the value cell, and the requests the
// driver refuses to send.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "kelwnsrp.h"
#include "serial/serial_platform.h"
#include "support/fake_serial_platform.h"
#include "teskar.h"

namespace {

using kel::test_support::FakeSerialPlatform;
using kel::test_support::PlatformCall;

// "::", the payload, its checksum (two's complement of the byte sum) and CR.
std::string Framed(const std::string& payload) {
    unsigned sum = 0;
    for (unsigned char c : payload) sum += c;
    char digits[3];
    std::snprintf(digits, sizeof digits, "%02X", (256 - sum % 256) % 256);
    return "::" + payload + digits + "\r";
}

std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

GateAddress Gate(std::int32_t station, std::int32_t area, std::int32_t address, std::int32_t width) {
    return GateAddress {station, area, address, 255, width};
}

class TransactionFake : public ::testing::Test {
protected:
    void SetUp() override {
        fake_.AddDevice("COM1");
        kel::UseSerialPlatform(&fake_);
        OpenRequest open {"COM1", 1, 10, {9600, 7, 0, 0}};
        ASSERT_EQ(Call(KEL_CMD_OPEN, &open), KEL_OK);
        fake_.ClearLog();
        teskar_clear();
    }
    void TearDown() override { kel::UseSerialPlatform(nullptr); }

    int32_t Call(int32_t command, void* block) {
        KelRequest request {&state_, command, 0, 0, block};
        return KelMain(&request);
    }
    // Replies arrive one per exchange, each when the driver starts reading.
    void Replies(const std::vector<std::string>& bodies) {
        std::vector<std::vector<std::uint8_t>> chunks;
        for (const std::string& body : bodies) chunks.push_back(Bytes(Framed(body)));
        fake_.ScheduleArrivals("COM1", chunks);
    }
    std::string Written() {
        const auto& w = fake_.Device("COM1").written;
        return {w.begin(), w.end()};
    }
    std::vector<std::string> WaitsAndWrites() {
        std::vector<std::string> calls;
        for (const auto& record : fake_.Log()) {
            if (record.call == PlatformCall::Sleep || record.call == PlatformCall::Write) {
                calls.push_back(record.text);
            }
        }
        return calls;
    }

    FakeSerialPlatform fake_;
    DriverState state_ {};
};

struct FrameCase {
    const char* what;
    GateAddress gate;
    int32_t count;
    std::string wire;
};

TEST_F(TransactionFake, ReadRequestsGoOnTheLineByteForByte) {
    const FrameCase cases[] = {
        {"relay 1234", Gate(1, AreaR, 01234, 0), 1, "::01?0MRL012344B\r"},
        {"station 12, relay 4096", Gate(012, AreaR, 4096, 0), 1, "::12?0MRL1000052\r"},
        {"relay T17", Gate(1, AreaRT, 017, 0), 1, "::01?0MRLT001729\r"},
        {"timer 5", Gate(1, AreaT, 5, 16), 1, "::01?0MTC00050005C2\r"},
        {"timer 5 asked with count 3 is narrowed", Gate(1, AreaT, 5, 16), 3, "::01?0MTC00050005C2\r"},
        {"MA 100, 16 bits", Gate(1, AreaMA, 0100, 16), 1, "::01?0MRGA0100A010145\r"},
        {"MB 10, 8 bits", Gate(1, AreaMB, 010, 8), 1, "::01?0MRGB0010B001044\r"},
        {"M09 20, 32 bits", Gate(1, AreaM09, 020, 32), 1, "::01?0MRG090200902351\r"},
    };
    for (const FrameCase& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.Device("COM1").written.clear();
        std::uint32_t cell = 0;
        GateRequest read {"", 0, c.gate, KEL_VALUE_ANALOG32, c.count, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_LINE_FAILURE);  // nobody answers
        EXPECT_EQ(Written(), c.wire + c.wire + c.wire + c.wire + c.wire);
    }
}

TEST_F(TransactionFake, ReadWaitsTheReplyWaitTimeBetweenRequestAndReply) {
    Replies({"01#0MRL012341"});
    std::uint32_t cell = 0;
    GateRequest read {"", 0, Gate(1, AreaR, 01234, 0), KEL_VALUE_DIGITAL, 1, 0, &cell};
    ASSERT_EQ(Call(KEL_CMD_READ_GATE_ALT, &read), KEL_OK);
    const auto calls = fake_.Calls();
    ASSERT_GE(calls.size(), 4u);
    // Purge check, the frame, the wait (50 ms: no configuration file here),
    // then the header read.
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 4),
              (std::vector<std::string> {"ClearError", "Write 17", "Sleep 50", "Read 2"}));
}

struct DecodeCase {
    const char* what;
    GateAddress gate;
    uint32_t valueType;
    std::string reply;     // body without checksum
    std::uint32_t before;  // cell before the read
    std::uint32_t after;   // cell after it
};

TEST_F(TransactionFake, RepliesAreDecodedIntoTheValueCell) {
    const std::uint32_t kFill = 0xA5A5A5A5;
    float f4660 = 4660.0f;
    std::uint32_t float4660 = 0;
    std::memcpy(&float4660, &f4660, 4);
    const DecodeCase cases[] = {
        {"relay on, digital", Gate(1, AreaR, 01234, 0), 6, "01#0MRL012341", kFill, 0x0001A5A5},
        {"relay off, digital", Gate(1, AreaR, 01234, 0), 6, "01#0MRL012340", kFill, 0x0000A5A5},
        {"MB byte FF, digital widens the sign", Gate(1, AreaMB, 010, 8), 6, "01#0MRGB0010B0010FF",
         kFill, 0xFFFFA5A5},
        {"MB byte FF, 32 bits", Gate(1, AreaMB, 010, 8), 4, "01#0MRGB0010B0010FF", kFill, 255},
        {"MA word 3412, type 1", Gate(1, AreaMA, 0100, 16), 1, "01#0MRGA0100A01013412", kFill,
         0x1234A5A5},
        {"M09 long 78563412", Gate(1, AreaM09, 020, 32), 5, "01#0MRG090200902378563412", kFill,
         0x12345678},
        {"MA word as float", Gate(1, AreaMA, 0100, 16), 3, "01#0MRGA0100A01013412", kFill, float4660},
        {"value type 2 leaves the cell", Gate(1, AreaMA, 0100, 16), 2, "01#0MRGA0100A01013412",
         kFill, kFill},
        {"timer 3412 type 4", Gate(1, AreaT, 5, 16), 0, "01#0MTC00050005341204", kFill, 1234 << 16 | 0xA5A5},
        {"counter 3412 type 2", Gate(1, AreaT, 5, 16), 4, "01#0MTC00050005341202", kFill, 1234},
        {"timer 192 0100 hundredths", Gate(1, AreaT, 192, 16), 4, "01#0MTC03000300010004", kFill, 1},
        {"9919 is 1999", Gate(1, AreaT, 5, 16), 4, "01#0MTC00050005991904", kFill, 1999},
        {"0090 is 1000", Gate(1, AreaT, 5, 16), 4, "01#0MTC00050005009004", kFill, 1000},
        {"0080 is 0", Gate(1, AreaT, 5, 16), 4, "01#0MTC00050005008004", kFill, 0},
        {"type character 1 withholds the value", Gate(1, AreaT, 5, 16), 4,
         "01#0MTC00050005341201", kFill, kFill},
    };
    for (const DecodeCase& c : cases) {
        SCOPED_TRACE(c.what);
        Replies({c.reply});
        std::uint32_t cell = c.before;
        GateRequest read {"", 0, c.gate, c.valueType, 1, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_OK);
        EXPECT_EQ(cell, c.after);
    }
}

TEST_F(TransactionFake, UnreadableGatesAreRefusedWithoutSending) {
    const GateAddress gates[] = {
        Gate(1, AreaMA, 0100, 0),    // register without a width
        Gate(1, AreaM09, 0777, 16),  // last byte past the end of the area
        Gate(1, AreaMA, 895, 32),
        Gate(1, 2, 0, 16),           // no request form
        Gate(1, 10, 0, 16),
        Gate(1, -1, 0, 16),
        Gate(64, AreaR, 0, 0),       // station beyond two octal digits
        Gate(1, AreaR, 7168, 0),     // item beyond the area
        Gate(1, AreaT, -1, 16),
    };
    for (const GateAddress& gate : gates) {
        SCOPED_TRACE(gate.areaKind * 100000 + gate.address);
        std::uint32_t cell = 7;
        GateRequest read {"", 0, gate, KEL_VALUE_ANALOG32, 1, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_REFUSED);
        EXPECT_EQ(Written(), "");
        EXPECT_EQ(cell, 7u);
    }
}

TEST_F(TransactionFake, ReplyWithoutItsDataFailsInsteadOfDecodingAnOlderReply) {
    // A full reply leaves 3412 in the buffer; the next one is well formed but
    // carries no data.
    std::uint32_t cell = 0;
    GateRequest read {"", 0, Gate(1, AreaMA, 0100, 16), KEL_VALUE_ANALOG32, 1, 0, &cell};
    Replies({"01#0MRGA0100A01013412"});
    ASSERT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_OK);
    cell = 0;
    Replies({"01#0MRGA0100A0101", "01#0MRGA0100A0101", "01#0MRGA0100A0101", "01#0MRGA0100A0101",
             "01#0MRGA0100A0101"});
    EXPECT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_REFUSED);
    EXPECT_EQ(cell, 0u);
}

TEST_F(TransactionFake, WriteModeStatusOnEveryReadFailsFiveTimesAndLeavesTheFlagSet) {
    Replies({"01%010", "01%010", "01%010", "01%010", "01%010"});
    std::uint32_t cell = 3;
    GateRequest read {"", 0, Gate(1, AreaR, 0, 0), KEL_VALUE_DIGITAL, 1, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_READ_GATE, &read), KEL_REFUSED);
    EXPECT_EQ(state_.WriteEnablePending, 1);
    EXPECT_EQ(fake_.CallsOf(PlatformCall::Write).size(), 5u);
    EXPECT_EQ(cell, 3u);
}

struct WriteCase {
    const char* what;
    GateAddress gate;
    uint32_t valueType;
    std::uint32_t cell;
    std::string payload;
};

TEST_F(TransactionFake, WriteRequestsGoOnTheLineByteForByte) {
    const WriteCase cases[] = {
        {"relay 777 on", Gate(1, AreaR, 0777, 0), 6, 1u << 16, "01?0SRR007771"},
        {"station 3 relay 4096", Gate(3, AreaR, 4096, 0), 6, 1u << 16, "03?0SRR100001"},
        {"relay 4095", Gate(1, AreaR, 4095, 0), 6, 0, "01?0SRR077770"},
        {"relay 7167", Gate(1, AreaR, 7167, 0), 6, 0, "01?0SRR157770"},
        {"station 7", Gate(7, AreaR, 0, 0), 6, 0, "07?0SRR000000"},
        {"station 8", Gate(8, AreaR, 0, 0), 6, 0, "10?0SRR000000"},
        {"relay T377 off", Gate(1, AreaRT, 0377, 0), 6, 0, "01?0SRRT03770"},
        {"timer 12 set", Gate(1, AreaT, 012, 16), 0, 1u << 16, "01?0SRT00121"},
        {"MA 100 word 1234", Gate(1, AreaMA, 0100, 16), 0, 0x1234u << 16, "01?0WRGA0100A01013412"},
        {"M09 100 long", Gate(1, AreaM09, 0100, 32), 4, 0x0A0B0C0Du, "01?0WRG09100091030D0C0B0A"},
        {"8-bit 5", Gate(1, AreaMB, 010, 8), 0, 5u << 16, "01?0WRGB0010B001005"},
        {"8-bit AB", Gate(1, AreaMB, 010, 8), 4, 0xABu, "01?0WRGB0010B0010AB"},
        {"word 00FF", Gate(1, AreaMB, 010, 16), 1, 0xFFu << 16, "01?0WRGB0010B0011FF00"},
        {"long 1", Gate(1, AreaMB, 010, 32), 5, 1u, "01?0WRGB0010B001301000000"},
        {"M39 top byte", Gate(1, AreaM39, 0777, 8), 4, 0x7Fu, "01?0WRG39777397777F"},
    };
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.what);
        fake_.Device("COM1").written.clear();
        Replies({c.payload.substr(0, 2) + "#0" + c.payload.substr(4, 3)});
        std::uint32_t cell = c.cell;
        GateRequest write {"gas", 0, c.gate, c.valueType, 1, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_OK);
        EXPECT_EQ(Written(), Framed(c.payload));
        EXPECT_EQ(cell, c.cell);
    }
    EXPECT_EQ(teskar_count(), 0);
}

TEST_F(TransactionFake, PendingWriteModeWrapsTheWriteInEwrTwoAndZero) {
    state_.WriteEnablePending = 1;
    Replies({"01#0EWR", "01#0SRR", "01#0EWR"});
    std::uint32_t cell = 1u << 16;
    GateRequest write {"01R00777", 0, Gate(1, AreaR, 0777, 0), 6, 1, 0, &cell};
    ASSERT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_OK);
    EXPECT_EQ(state_.WriteEnablePending, 0);
    EXPECT_EQ(Written(), Framed("01?0EWR2") + Framed("01?0SRR007771") + Framed("01?0EWR0"));
    // Write mode waits before sending and before reading; the write itself
    // does not wait.
    EXPECT_EQ(WaitsAndWrites(),
              (std::vector<std::string> {"Sleep 50", "Write 13", "Sleep 50", "Write 18", "Sleep 50",
                                         "Write 13", "Sleep 50"}));
}

TEST_F(TransactionFake, FirstWriteAskedForWriteModeSucceedsOnTheSecondAttempt) {
    Replies({"01%010", "01#0EWR", "01#0SRR", "01#0EWR"});
    std::uint32_t cell = 1u << 16;
    GateRequest write {"01R00777", 0, Gate(1, AreaR, 0777, 0), 6, 1, 0, &cell};
    ASSERT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_OK);
    EXPECT_EQ(Written(), Framed("01?0SRR007771") + Framed("01?0EWR2") + Framed("01?0SRR007771") +
                             Framed("01?0EWR0"));
    ASSERT_EQ(teskar_count(), 1);
    EXPECT_STREQ(teskar_text(0), "KELSRP: Incorrect reply string to Write.");
    EXPECT_EQ(teskar_level(0), 8);
    EXPECT_EQ(state_.WriteEnablePending, 0);
}

TEST_F(TransactionFake, FailedWriteModeEnableEndsTheAttemptWithItsResult) {
    state_.WriteEnablePending = 1;
    std::uint32_t cell = 0;
    GateRequest write {"01R00777", 0, Gate(1, AreaR, 0777, 0), 6, 1, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_LINE_FAILURE);  // no reply to EWR 2
    EXPECT_EQ(Written(), Framed("01?0EWR2") + Framed("01?0EWR2") + Framed("01?0EWR2") +
                             Framed("01?0EWR2") + Framed("01?0EWR2"));
    ASSERT_EQ(teskar_count(), 5);
    EXPECT_STREQ(teskar_text(4), "KELSRP: Write mode enable error 2");
    EXPECT_STREQ(teskar_format(4), "KELSRP: Write mode enable error %d");
    EXPECT_EQ(teskar_level(4), 32);
    EXPECT_EQ(state_.WriteEnablePending, 1);
}

TEST_F(TransactionFake, FailedWriteModeDisableReturnsOneAndKeepsTheFlag) {
    state_.WriteEnablePending = 1;
    // EWR 0 is answered by another station on every attempt.
    std::vector<std::string> replies;
    for (int i = 0; i < 5; ++i) {
        replies.insert(replies.end(), {"01#0EWR", "01#0SRR", "02#0EWR"});
    }
    Replies(replies);
    std::uint32_t cell = 0;
    GateRequest write {"01R00777", 0, Gate(1, AreaR, 0777, 0), 6, 1, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_REFUSED);
    EXPECT_EQ(state_.WriteEnablePending, 1);
    ASSERT_EQ(teskar_count(), 5);
    EXPECT_STREQ(teskar_text(0), "KELSRP: Write mode enable error 1");
}

struct RefusedWrite {
    const char* what;
    GateAddress gate;
    uint32_t valueType;
    std::uint32_t cell;
    const char* message;  // logged on each of the five attempts, or null
};

TEST_F(TransactionFake, WritesThatCannotBeSentAreRefusedWithoutTouchingTheLine) {
    const RefusedWrite cases[] = {
        // A relay or timer contact is set with "0" or "1"; any other value
        // would go out as a character it does not understand.
        {"2 on a relay", Gate(1, AreaR, 0, 0), 6, 2u << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"256 on a relay", Gate(1, AreaR, 0, 0), 6, 256u << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"negative 32-bit value on a relay", Gate(1, AreaR, 0, 0), 4, 0xFFFFFF01u,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"2 on a timer", Gate(1, AreaT, 012, 16), 0, 2u << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"300 on a timer", Gate(1, AreaT, 012, 16), 0, 300u << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"FFFF on a relay is 65535", Gate(1, AreaRT, 0, 0), 0, 0xFFFFu << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"256 on an 8-bit register", Gate(1, AreaMB, 0, 8), 0, 256u << 16,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"negative on an 8-bit register", Gate(1, AreaMB, 0, 8), 4, 0xFFFFFFFFu,
         "KELSRP: Write failed Value out of range. GAS=01R0000A"},
        {"value type 2", Gate(1, AreaMA, 0, 16), 2, 0, nullptr},
        {"value type 3", Gate(1, AreaMA, 0, 16), 3, 0, nullptr},
        {"value type 7", Gate(1, AreaMA, 0, 16), 7, 0, nullptr},
        {"digital register without width 8", Gate(1, AreaMA, 0, 16), 6, 0, nullptr},
        {"area 2", Gate(1, 2, 0, 16), 0, 0, nullptr},
        {"last byte past the area", Gate(1, AreaM09, 0777, 16), 0, 0, nullptr},
        {"station 64", Gate(64, AreaR, 0, 0), 6, 0, nullptr},
    };
    // Not even the write-mode switch goes out for them.
    for (const RefusedWrite& c : cases) for (const std::int32_t pending : {0, 1}) {
        SCOPED_TRACE(std::string(c.what) + (pending != 0 ? ", write mode pending" : ""));
        teskar_clear();
        state_.WriteEnablePending = pending;
        std::uint32_t cell = c.cell;
        GateRequest write {"01r0000a", 0, c.gate, c.valueType, 1, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_REFUSED);
        EXPECT_EQ(Written(), "");
        EXPECT_EQ(state_.WriteEnablePending, pending);
        if (c.message == nullptr) {
            EXPECT_EQ(teskar_count(), 0);
        } else {
            ASSERT_EQ(teskar_count(), 5);
            EXPECT_STREQ(teskar_text(4), c.message);
            EXPECT_STREQ(teskar_format(4), "KELSRP: Write failed Value out of range. GAS=%s");
            EXPECT_EQ(teskar_level(4), 32);
        }
    }
}

TEST_F(TransactionFake, UnknownAreaAfterWriteModeLogsTheGateTypeAndSucceeds) {
    state_.WriteEnablePending = 1;
    Replies({"01#0EWR"});
    std::uint32_t cell = 0;
    GateRequest write {"", 0, Gate(1, 12, 0, 16), 0, 1, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_OK);
    EXPECT_EQ(Written(), Framed("01?0EWR2"));
    ASSERT_EQ(teskar_count(), 1);
    EXPECT_STREQ(teskar_text(0), "KELSRP: Gate type not correct 12");
    EXPECT_EQ(state_.WriteEnablePending, 1);
}

TEST_F(TransactionFake, UnansweredWriteLogsFiveTimesAtLevelEight) {
    std::uint32_t cell = 0;
    GateRequest write {"", 0, Gate(1, AreaR, 0, 0), 6, 1, 0, &cell};
    EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_LINE_FAILURE);
    ASSERT_EQ(teskar_count(), 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_STREQ(teskar_text(i), "KELSRP: Can't read Write response");
        EXPECT_EQ(teskar_level(i), 8);
    }
}

TEST_F(TransactionFake, MarkedWriteActsOnMarker255AndWritesOneItem) {
    std::uint32_t cell = 1u << 16;
    GateRequest write {"", 0, Gate(1, AreaR, 0, 0), 6, 3, 0, &cell};
    write.address.marker = 0;
    EXPECT_EQ(Call(KEL_CMD_WRITE_MARKED, &write), KEL_OK);
    EXPECT_EQ(Written(), "");
    EXPECT_EQ(write.count, 3);

    write.address.marker = 255;
    Replies({"01#0SRR"});
    EXPECT_EQ(Call(KEL_CMD_WRITE_MARKED, &write), KEL_OK);
    EXPECT_EQ(Written(), Framed("01?0SRR000001"));
    EXPECT_EQ(write.count, 1);
}

TEST_F(TransactionFake, CommandTenWritesOneItemWhateverTheCount) {
    for (int32_t count : {0, -1, 2, 1000}) {
        fake_.Device("COM1").written.clear();
        Replies({"01#0WRG"});
        std::uint32_t cell = 0x1234u << 16;
        GateRequest write {"", 0, Gate(1, AreaMA, 0100, 16), 0, count, 0, &cell};
        EXPECT_EQ(Call(KEL_CMD_WRITE_GATE, &write), KEL_OK);
        EXPECT_EQ(Written(), Framed("01?0WRGA0100A01013412"));
        EXPECT_EQ(write.count, count);
    }
}

TEST_F(TransactionFake, GarbledRepliesNeverCorruptTheCellOrTheBuffers) {
    // Random bodies, some over-long, some without their frame, some with the
    // head of the request: the result is always one of the three codes, the
    // cell is written only by a successful read, and nothing outside the
    // reply buffer is touched (the sanitizer build sees to that).
    std::mt19937 random(77);
    const std::string heads[] = {"", "01%0", "01#0MRGA0100A0101", "01#0MTC00050005", "01#0MRL01234"};
    const GateAddress gates[] = {Gate(1, AreaMA, 0100, 16), Gate(1, AreaT, 5, 16), Gate(1, AreaR, 01234, 0)};
    int outcomes[3] = {};
    for (int round = 0; round < 400; ++round) {
        std::vector<std::vector<std::uint8_t>> chunks;
        for (int attempt = 0; attempt < 5; ++attempt) {
            // Half the time the head that belongs to the request.
            std::string body = heads[random() % 2 == 0 ? 2 + round % 3 : random() % 5];
            const std::size_t head = body.size();
            body.resize(head + random() % (round % 10 == 0 ? 900 : 12));
            for (std::size_t i = head; i < body.size(); ++i) {
                // Mostly hex digits, so that some replies decode.
                body[i] = random() % 3 == 0 ? static_cast<char>(random() % 256) : "0123456789ABCDEF"[random() % 16];
            }
            chunks.push_back(Bytes(random() % 4 == 0 ? body : Framed(body)));
        }
        fake_.ScheduleArrivals("COM1", chunks);
        std::uint32_t cell = 0xC0FFEE00;
        GateRequest read {"", 0, gates[round % 3], KEL_VALUE_ANALOG32, 1, 0, &cell};
        const int32_t result = Call(KEL_CMD_READ_GATE, &read);
        ASSERT_TRUE(result == KEL_OK || result == KEL_REFUSED || result == KEL_LINE_FAILURE) << result;
        ++outcomes[result];
        if (result != KEL_OK) {
            EXPECT_EQ(cell, 0xC0FFEE00u);
        }
        fake_.Device("COM1").waiting.clear();
        fake_.Device("COM1").arrivals.clear();
    }
    // The mix reached decoding as well as every kind of failure.
    EXPECT_GT(outcomes[KEL_OK], 0);
    EXPECT_GT(outcomes[KEL_REFUSED], 0);
    EXPECT_GT(outcomes[KEL_LINE_FAILURE], 0);
}

}  // namespace
