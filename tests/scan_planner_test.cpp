// The scan planner: which exchanges read a set of items, by their request
// payloads, and whose values each carries.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "protocol/requests.h"
#include "scan/scan_planner.h"

namespace kel::scan {
namespace {

std::string Payload(const PlannedRead& read) {
    Request request;
    const bool built = read.isRange ? BuildRangeReadRequest(read.range, &request)
                                    : BuildReadRequest(read.item, &request);
    return built ? std::string(request.payload, static_cast<std::size_t>(request.length)) : "unbuildable";
}

Item Reg(int station, std::int32_t area, int byte, int bytes = 2) { return {station, area, byte, bytes}; }
Item Relay(int number, std::int32_t area = kAreaR) { return {1, area, number, 0}; }
Item Timer(int number) { return {1, kAreaT, number, 0}; }

std::vector<Item> Registers(int station, std::int32_t area, int first, int count, int bytes = 2) {
    std::vector<Item> items;
    for (int i = 0; i < count; ++i) items.push_back(Reg(station, area, first + i * bytes, bytes));
    return items;
}

struct PlanCase {
    const char* what;
    std::vector<Item> items;
    PlanLimits limits;
    std::vector<std::string> payloads;
};

TEST(ScanPlanner, FewestExchangesWithinTheLimits) {
    const PlanLimits standard {64, 16};
    std::vector<Item> registersAndRelays = Registers(1, kAreaMA, 0100, 32);
    for (int relay = 0; relay < 32; ++relay) registersAndRelays.push_back(Relay(relay));
    const std::vector<PlanCase> cases = {
        {"64 bytes in one run", Registers(1, kAreaMA, 0100, 32), standard, {"01?0MRGA0100A0177"}},
        {"a shorter run limit splits", Registers(1, kAreaMA, 0100, 32), {32, 16},
         {"01?0MRGA0100A0137", "01?0MRGA0140A0177"}},
        {"64 registers and 32 relays", registersAndRelays, standard, {"01?0MRGA0000A0003", "01?0MRGA0100A0177"}},
        {"a gap within the bound is read", {Reg(1, kAreaMA, 0100), Reg(1, kAreaMA, 0122)}, standard,
         {"01?0MRGA0100A0123"}},
        {"a gap beyond it is not", {Reg(1, kAreaMA, 0100), Reg(1, kAreaMA, 0123)}, standard,
         {"01?0MRGA0100A0101", "01?0MRGA0123A0124"}},
        {"no gap at all", {Reg(1, kAreaMA, 0100), Reg(1, kAreaMA, 0103)}, {64, 0},
         {"01?0MRGA0100A0101", "01?0MRGA0103A0104"}},
        {"overlapping items share bytes", {Reg(1, kAreaMA, 0100, 4), Reg(1, kAreaMA, 0102, 1)}, standard,
         {"01?0MRGA0100A0103"}},
        {"relays of one byte and a register near", {Relay(010), Relay(017), Reg(1, kAreaMA, 2)}, standard,
         {"01?0MRGA0001A0003"}},
        {"one relay alone is one MRL, asked twice or not", {Relay(07), Relay(07)}, standard, {"01?0MRL00007"}},
        {"two relays of bytes apart", {Relay(0), Relay(0170)}, standard, {"01?0MRGA0000A0017"}},
        {"stations apart", {Reg(1, kAreaMB, 0), Reg(2, kAreaMB, 2)}, standard,
         {"01?0MRGB0000B0001", "02?0MRGB0002B0003"}},
        {"areas apart", {Reg(1, kAreaMA, 0), Reg(1, kAreaMB, 2), Reg(1, kAreaM09, 4, 1)}, standard,
         {"01?0MRGA0000A0001", "01?0MRGB0002B0003", "01?0MRG0900409004"}},
        {"timers as one MTC run", {Timer(5), Timer(010), Timer(6)}, standard, {"01?0MTC00050010"}},
        {"RT relays one by one", {Relay(3, kAreaRT), Relay(4, kAreaRT), Relay(3, kAreaRT)}, standard,
         {"01?0MRLT0003", "01?0MRLT0004"}},
        {"the reply buffer bounds the longest run", Registers(1, kAreaMA, 0, 150), {kMaxRegisterRun, 16},
         {"01?0MRGA0000A0437", "01?0MRGA0440A0453"}},  // 2-byte items: 288 bytes
        {"the longest timer run is shorter", [] {
             std::vector<Item> t;
             for (int n = 0; n < 100; ++n) t.push_back(Timer(n));
             return t;
         }(), {kMaxRegisterRun, 16}, {"01?0MTC00000137", "01?0MTC01400143"}},
        {"items that are not valid are left out", {Reg(1, kAreaMA, 895), Reg(1, 2, 0), Reg(64, kAreaMA, 0)},
         standard, {}},
    };
    for (const PlanCase& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<PlanItem> items;
        for (std::size_t i = 0; i < c.items.size(); ++i) items.push_back({c.items[i], static_cast<int>(i)});
        const std::vector<PlannedRead> reads = PlanReads(items, c.limits);
        std::vector<std::string> payloads;
        std::vector<int> owners;
        for (const PlannedRead& read : reads) {
            payloads.push_back(Payload(read));
            for (const PlanItem& item : read.items) owners.push_back(item.owner);
        }
        EXPECT_EQ(payloads, c.payloads);
        // Every valid item is read once, by the read that covers it.
        std::sort(owners.begin(), owners.end());
        EXPECT_TRUE(std::adjacent_find(owners.begin(), owners.end()) == owners.end());
        if (!c.payloads.empty()) {
            EXPECT_EQ(owners.size(), c.items.size());
        }
    }
}

TEST(ScanPlanner, WireCharactersOfEachKindOfRead) {
    const auto chars = [](const Item& item) { return WireCharacters(PlanReads({{item, 0}}, {64, 16}).front()); };
    EXPECT_EQ(chars(Reg(1, kAreaMA, 0100)), 48);  // 22 out, 26 back
    EXPECT_EQ(chars(Relay(5)), 35);                    // 17 out, 18 back
    EXPECT_EQ(chars(Timer(5)), 46);                    // 20 out, 26 back
    PlannedRead single;
    single.isRange = false;
    single.item = Reg(1, kAreaMA, 0100);
    EXPECT_EQ(WireCharacters(single), 48);  // the same register by a single item's read
}

}  // namespace
}  // namespace kel::scan
