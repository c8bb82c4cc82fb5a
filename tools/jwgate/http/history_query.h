// GET /api/history: a point's kept values over a window of time, asked for
// in the query's parameters and answered as JSON or CSV.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

constexpr std::size_t kDefaultHistoryRows = 10000;
// A reply of this many rows is some 6 MB of JSON, built in memory.
constexpr std::size_t kMostHistoryRows = 100000;
constexpr std::int64_t kDefaultHistoryWindowMs = 3600 * 1000;

struct HistoryQuery {
    std::string point;
    std::int64_t fromMs = 0;  // both included
    std::int64_t toMs = 0;
    std::size_t limit = kDefaultHistoryRows;
    bool csv = false;
};

// As the URL's query decodes them: name to value; the first of a repeated name counts.
using QueryParameters = std::multimap<std::string, std::string>;

// point (required); from and to as ISO times with their zone, to defaulting
// to nowMs and from to an hour before to; limit 1 to kMostHistoryRows;
// format json (the default) or csv. False with one short line in *error.
bool ParseHistoryQuery(const QueryParameters& parameters, std::int64_t nowMs, HistoryQuery* query, std::string* error);

// Milliseconds since 1970 for "2026-12-08T12:00:00.123Z" or with an offset
// ("+01:00", "-0500"); seconds and their fraction may be left out. A space
// where the offset's sign should be is taken for a "+" the URL did not
// encode. Nothing for a time without its zone: the gateway cannot know
// which one was meant.
std::optional<std::int64_t> IsoTimeMs(std::string_view text);

// [{"t": "2026-12-08T12:00:00.123Z", "v": 12.5, "q": "good"}, ...]: v null
// when the row has none, whole numbers as integers as the point's type and
// decimals say.
std::string HistoryJson(const PointConfig& point, const std::vector<HistoryRow>& rows);
// The same as CSV: the line "t,v,q", then one a row, v empty when none.
std::string HistoryCsv(const PointConfig& point, const std::vector<HistoryRow>& rows);

// {"error": message}
std::string ErrorJson(const std::string& message);

}  // namespace jwgate
