// What kelhost, jwsim and jwgate print alike: gate addresses, times and
// trace lines.
#include <gtest/gtest.h>

#include <chrono>
#include <cctype>

#include "protocol/areas.h"
#include "tools/common/gas_text.h"
#include "tools/common/time_text.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::system_clock;

TEST(ToolsGasText, EachAreaIsWrittenAsTheDriverReadsIt) {
    const struct {
        std::int32_t station, area, item;
        bool byteMark;
        const char* gas;
    } cases[] = {
        {1, kel::kAreaR, 4096, false, "01R10000"},
        {1, kel::kAreaRT, 3, false, "01RT0003"},
        {063, kel::kAreaT, 0377, false, "63T0377"},
        {1, kel::kAreaMA, 0100, false, "01MA0100"},
        {1, kel::kAreaMB, 0777, true, "01MB0777B"},
        {2, kel::kAreaM19, 017, true, "02M19017B"},
        {2, kel::kAreaM39, 0777, false, "02M39777"},
        {1, kel::kAreaRT, 3, true, "01RT0003"},  // a relay has no byte mark
    };
    for (const auto& c : cases) {
        EXPECT_EQ(kel::tools::GasText(c.station, c.area, c.item, c.byteMark), c.gas);
    }
}

TEST(ToolsTimeText, IsoTimeIsUtcToTheMillisecondAndTraceLinesCarryTheLocalTime) {
    const system_clock::time_point when = system_clock::from_time_t(1796564712) + milliseconds(45);
    EXPECT_EQ(kel::tools::IsoTime(when), "2026-12-06T13:45:12.045Z");
    EXPECT_EQ(kel::tools::IsoTime(system_clock::from_time_t(0) - milliseconds(1)), "1969-12-31T23:59:59.999Z");
    const std::string line = kel::tools::FrameLine(when, '<', "@01RMA0100");
    // The hour and minute depend on the machine's zone; the rest does not.
    ASSERT_EQ(line.size(), 25u) << line;
    for (const std::size_t digit : {0u, 1u, 3u, 4u}) {
        EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(line[digit]))) << line;
    }
    EXPECT_EQ(line[2], ':') << line;
    EXPECT_EQ(line.substr(5), ":12.045 < @01RMA0100");
    EXPECT_EQ(line.substr(0, 12), kel::tools::TimeOfDay(when));
}

}  // namespace
