#include "tools/jwgate/http/history_query.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <chrono>

#include "tools/common/time_text.h"
#include "tools/jwgate/core/point_value_json.h"

namespace jwgate {
namespace {

// Reads an ISO time from the front of the text it holds.
class Cursor {
public:
    explicit Cursor(std::string_view text) : rest_(text) {}
    // Exactly count digits.
    bool Number(std::size_t count, int* value) {
        if (rest_.size() < count) return false;
        *value = 0;
        for (std::size_t i = 0; i < count; ++i) {
            if (rest_[i] < '0' || rest_[i] > '9') return false;
            *value = *value * 10 + (rest_[i] - '0');
        }
        rest_.remove_prefix(count);
        return true;
    }
    bool Take(char wanted) {
        if (rest_.empty() || rest_.front() != wanted) return false;
        rest_.remove_prefix(1);
        return true;
    }
    bool TakeAny(std::string_view wanted, char* taken) {
        if (rest_.empty() || wanted.find(rest_.front()) == std::string_view::npos) return false;
        *taken = rest_.front();
        rest_.remove_prefix(1);
        return true;
    }
    // A fraction of a second after its point, to the millisecond (finer digits are cut off).
    bool Milliseconds(int* ms) {
        std::size_t digits = 0;
        int scaled = 0;
        while (digits < rest_.size() && rest_[digits] >= '0' && rest_[digits] <= '9') {
            if (digits < 3) scaled = scaled * 10 + (rest_[digits] - '0');
            ++digits;
        }
        if (digits == 0 || digits > 9) return false;
        for (std::size_t i = digits; i < 3; ++i) scaled *= 10;
        rest_.remove_prefix(digits);
        *ms = scaled;
        return true;
    }
    bool AtEnd() const { return rest_.empty(); }

private:
    std::string_view rest_;
};

// The zone's offset east of UTC in minutes; false when there is none.
bool ZoneOffset(Cursor& cursor, int* minutes) {
    char sign = 0;
    if (cursor.TakeAny("Zz", &sign)) {
        *minutes = 0;
        return cursor.AtEnd();
    }
    int hours = 0;
    int extra = 0;
    if (!cursor.TakeAny("+- ", &sign) || !cursor.Number(2, &hours) || hours > 23) return false;
    if (!cursor.AtEnd()) {
        cursor.Take(':');
        if (!cursor.Number(2, &extra) || extra > 59) return false;
    }
    *minutes = (sign == '-' ? -1 : 1) * (hours * 60 + extra);
    return cursor.AtEnd();
}

std::string FirstOf(const QueryParameters& parameters, const std::string& name, bool* given) {
    const auto found = parameters.find(name);
    *given = found != parameters.end();
    return *given ? found->second : std::string();
}

bool ParseLimit(const std::string& text, std::size_t* limit) {
    const char* end = text.data() + text.size();
    const auto [stop, fault] = std::from_chars(text.data(), end, *limit);
    return fault == std::errc() && stop == end && *limit >= 1 && *limit <= kMostHistoryRows;
}

bool ParseTime(const QueryParameters& parameters, const std::string& name, std::int64_t* ms, std::string* error) {
    bool given = false;
    const std::string text = FirstOf(parameters, name, &given);
    if (!given) return true;
    const auto parsed = IsoTimeMs(text);
    if (!parsed) {
        *error = name + " is not an ISO time with its zone, such as 2026-12-08T12:00:00Z";
        return false;
    }
    *ms = *parsed;
    return true;
}

// Rounded again to the point's decimals as configured now: a value kept
// under other settings shows as today's do.
nlohmann::json ValueOf(const PointConfig& point, const HistoryRow& row) {
    if (!row.value) return nullptr;
    const int decimals = DecimalsOf(point.type, point.scaling, point.precision);
    return ShownValueJson(point.type, point.scaling, point.precision, Rounded(*row.value, decimals));
}

std::string TimeOf(const HistoryRow& row) {
    return kel::tools::IsoTime(std::chrono::system_clock::time_point(std::chrono::milliseconds(row.readMs)));
}

}  // namespace

std::optional<std::int64_t> IsoTimeMs(std::string_view text) {
    Cursor cursor(text);
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, ms = 0, offset = 0;
    char separator = 0;
    if (!cursor.Number(4, &year) || !cursor.Take('-') || !cursor.Number(2, &month) || !cursor.Take('-') ||
        !cursor.Number(2, &day) || !cursor.TakeAny("Tt ", &separator) || !cursor.Number(2, &hour) ||
        !cursor.Take(':') || !cursor.Number(2, &minute)) {
        return std::nullopt;
    }
    if (cursor.Take(':') && (!cursor.Number(2, &second) || (cursor.Take('.') && !cursor.Milliseconds(&ms)))) {
        return std::nullopt;
    }
    const std::chrono::year_month_day date {std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                            std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok() || hour > 23 || minute > 59 || second > 59 || !ZoneOffset(cursor, &offset)) return std::nullopt;
    const auto local = std::chrono::sys_days(date) + std::chrono::hours(hour) + std::chrono::minutes(minute - offset) +
                       std::chrono::seconds(second) + std::chrono::milliseconds(ms);
    return std::chrono::duration_cast<std::chrono::milliseconds>(local.time_since_epoch()).count();
}

bool ParseHistoryQuery(const QueryParameters& parameters, std::int64_t nowMs, HistoryQuery* query, std::string* error) {
    bool given = false;
    query->point = FirstOf(parameters, "point", &given);
    if (query->point.empty()) {
        *error = "which point? add ?point=NAME";
        return false;
    }
    const std::string format = FirstOf(parameters, "format", &given);
    if (given && format != "json" && format != "csv") {
        *error = "format is json or csv";
        return false;
    }
    query->csv = format == "csv";
    const std::string limit = FirstOf(parameters, "limit", &given);
    query->limit = kDefaultHistoryRows;
    if (given && !ParseLimit(limit, &query->limit)) {
        *error = "limit is a whole number from 1 to " + std::to_string(kMostHistoryRows);
        return false;
    }
    query->toMs = nowMs;
    if (!ParseTime(parameters, "to", &query->toMs, error)) return false;
    query->fromMs = query->toMs - kDefaultHistoryWindowMs;
    if (!ParseTime(parameters, "from", &query->fromMs, error)) return false;
    if (query->fromMs > query->toMs) {
        *error = "from is after to";
        return false;
    }
    return true;
}

std::string HistoryJson(const PointConfig& point, const std::vector<HistoryRow>& rows) {
    nlohmann::ordered_json document = nlohmann::ordered_json::array();
    for (const HistoryRow& row : rows) {
        document.push_back({{"t", TimeOf(row)}, {"v", ValueOf(point, row)}, {"q", QualityName(row.quality)}});
    }
    return document.dump();
}

std::string HistoryCsv(const PointConfig& point, const std::vector<HistoryRow>& rows) {
    std::string text = "t,v,q\n";
    for (const HistoryRow& row : rows) {
        // A float's NaN is written as none, as the JSON writes it null.
        const std::string value = ValueOf(point, row).dump();
        text += TimeOf(row) + ',' + (value == "null" ? std::string() : value) + ',' + QualityName(row.quality) + '\n';
    }
    return text;
}

std::string ErrorJson(const std::string& message) {
    // The message may carry what the client sent, in any bytes.
    return nlohmann::json {{"error", message}}.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace jwgate
