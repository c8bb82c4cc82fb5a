// GET /api/history: its parameters read and its rows written (the route
// itself is asked by the status page's end-to-end test, on a real store).
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tools/jwgate/http/history_query.h"

namespace jwgate {
namespace {

constexpr std::int64_t kNoonMs = 1796731200000;  // 2026-12-08T12:00:00Z
constexpr std::int64_t kHourMs = 3600000;

TEST(IsoTimeMs, ReadsTimesWithTheirZoneAndRefusesTheRest) {
    const struct {
        const char* text;
        std::optional<std::int64_t> ms;
    } cases[] = {
        {"2026-12-08T12:00:00Z", kNoonMs},
        {"2026-12-08T12:00:00.123Z", kNoonMs + 123},
        {"2026-12-08T12:00:00.123999Z", kNoonMs + 123},  // finer than a millisecond: cut off
        {"2026-12-08 12:00Z", kNoonMs},
        {"2026-12-08T13:00:00+01:00", kNoonMs},
        {"2026-12-08T07:30:00-0430", kNoonMs},
        {"2026-12-08T13:00:00 01:00", kNoonMs},  // a "+" the URL did not encode
        {"2028-02-29T00:00:00Z", 1835395200000},
        {"2026-12-08T12:00:00", std::nullopt},  // which zone?
        {"2026-02-29T00:00:00Z", std::nullopt},
        {"2026-12-08T24:00:00Z", std::nullopt},
        {"2026-12-08T12:00:00Zjunk", std::nullopt},
        {"2026-12-08T12:00:00+24:00", std::nullopt},
        {"1796731200000", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(IsoTimeMs(c.text), c.ms) << c.text;
}

TEST(ParseHistoryQuery, TakesItsDefaultsAndRefusesBadParametersInOneLine) {
    const struct {
        QueryParameters parameters;
        std::int64_t fromMs;
        std::int64_t toMs;
        std::size_t limit;
        bool csv;
        const char* error;  // a word the error names, or nullptr when the query is good
    } cases[] = {
        {{{"point", "level"}}, kNoonMs - kHourMs, kNoonMs, 10000, false, nullptr},
        {{{"point", "level"}, {"to", "2026-12-08T11:00:00Z"}}, kNoonMs - 2 * kHourMs, kNoonMs - kHourMs, 10000, false,
         nullptr},
        {{{"point", "level"}, {"from", "2026-12-08T11:59:00Z"}, {"format", "csv"}, {"limit", "100000"}},
         kNoonMs - 60000, kNoonMs, 100000, true, nullptr},
        {{{"point", "level"}, {"from", "2026-12-08T12:00:00Z"}, {"to", "2026-12-08T12:00:00Z"}, {"format", "json"}},
         kNoonMs, kNoonMs, 10000, false, nullptr},
        {{}, 0, 0, 0, false, "point"},
        {{{"point", "level"}, {"limit", "0"}}, 0, 0, 0, false, "limit"},
        {{{"point", "level"}, {"limit", "100001"}}, 0, 0, 0, false, "limit"},
        {{{"point", "level"}, {"limit", "99999999999999999999999"}}, 0, 0, 0, false, "limit"},
        {{{"point", "level"}, {"format", "xml"}}, 0, 0, 0, false, "format"},
        {{{"point", "level"}, {"from", "yesterday"}}, 0, 0, 0, false, "from"},
        {{{"point", "level"}, {"to", "2026-12-08T12:00:00"}}, 0, 0, 0, false, "to"},
        {{{"point", "level"}, {"from", "2026-12-08T12:00:00.001Z"}}, 0, 0, 0, false, "after"},
    };
    for (const auto& c : cases) {
        HistoryQuery query;
        std::string error;
        const bool good = ParseHistoryQuery(c.parameters, kNoonMs, &query, &error);
        const std::string shown = c.error ? c.error : "a good query";
        ASSERT_EQ(good, c.error == nullptr) << shown << ": " << error;
        if (!good) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            EXPECT_EQ(error.find('\n'), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(query.point, "level");
        EXPECT_EQ(query.fromMs, c.fromMs);
        EXPECT_EQ(query.toMs, c.toMs);
        EXPECT_EQ(query.limit, c.limit);
        EXPECT_EQ(query.csv, c.csv);
    }
}

PointConfig Point(ValueType type, double scale, int precision) {
    PointConfig point;
    point.name = "level";
    point.type = type;
    point.scaling.scale = scale;
    point.precision = precision;
    return point;
}

// The value written as the live value is: whole numbers as integers unless
// the point shows decimals.
TEST(HistoryRows, AreWrittenAsJsonAndCsvWithTheValuesAsThePointShowsThem) {
    const std::vector<HistoryRow> rows = {
        {kNoonMs + 5, 21.5, Quality::kGood}, {kNoonMs + 1000, std::nullopt, Quality::kBad},
        {kNoonMs + 2000, 22, Quality::kStale}};
    const struct {
        PointConfig point;
        const char* json;
        const char* csv;
    } cases[] = {
        {Point(ValueType::kU16, 0.1, -1),
         R"([{"t":"2026-12-08T12:00:00.005Z","v":21.5,"q":"good"},{"t":"2026-12-08T12:00:01.000Z","v":null,"q":"bad"},)"
         R"({"t":"2026-12-08T12:00:02.000Z","v":22.0,"q":"stale"}])",
         "t,v,q\n2026-12-08T12:00:00.005Z,21.5,good\n2026-12-08T12:00:01.000Z,,bad\n2026-12-08T12:00:02.000Z,22.0,stale\n"},
        {Point(ValueType::kI32, 1, -1),
         R"([{"t":"2026-12-08T12:00:00.005Z","v":22,"q":"good"},{"t":"2026-12-08T12:00:01.000Z","v":null,"q":"bad"},)"
         R"({"t":"2026-12-08T12:00:02.000Z","v":22,"q":"stale"}])",
         "t,v,q\n2026-12-08T12:00:00.005Z,22,good\n2026-12-08T12:00:01.000Z,,bad\n2026-12-08T12:00:02.000Z,22,stale\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(HistoryJson(c.point, rows), c.json) << ValueTypeName(c.point.type);
        EXPECT_EQ(HistoryCsv(c.point, rows), c.csv) << ValueTypeName(c.point.type);
    }
    EXPECT_EQ(HistoryJson(cases[0].point, {}), "[]");
    EXPECT_EQ(HistoryCsv(cases[0].point, {}), "t,v,q\n");
}

}  // namespace
}  // namespace jwgate
