#include "tools/kelhost/poll_statistics.h"

#include <algorithm>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

namespace kelhost {

void PollStatistics::Add(int result, double milliseconds) {
    times_.push_back(milliseconds);
    if (result != 0) ++failuresByResult_[result];
}

int PollStatistics::failures() const {
    int total = 0;
    for (const auto& [result, count] : failuresByResult_) total += count;
    return total;
}

double PollStatistics::Percentile(double share) const {
    if (times_.empty()) return 0;
    std::vector<double> sorted = times_;
    std::sort(sorted.begin(), sorted.end());
    const auto rank = static_cast<std::size_t>(std::ceil(share * static_cast<double>(sorted.size())));
    return sorted[std::clamp<std::size_t>(rank, 1, sorted.size()) - 1];
}

void PollStatistics::Print(ReportFormat format, FILE* out) const {
    const double min = Percentile(0), median = Percentile(0.5), p95 = Percentile(0.95), max = Percentile(1);
    if (format == ReportFormat::Json) {
        nlohmann::json failures = nlohmann::json::object();
        for (const auto& [result, count] : failuresByResult_) failures[std::to_string(result)] = count;
        const nlohmann::json stats = {{"exchanges", exchanges()}, {"failures", failures},
                                      {"ms", {{"min", min}, {"median", median}, {"p95", p95}, {"max", max}}}};
        std::fprintf(out, "%s\n", nlohmann::json {{"stats", stats}}.dump().c_str());
    } else {
        std::fprintf(out, "%d exchanges, %d failed", exchanges(), failures());
        for (const auto& [result, count] : failuresByResult_) {
            std::fprintf(out, "%s %d with result %d (%s)", result == failuresByResult_.begin()->first ? ":" : ",",
                         count, result, ResultName(result));
        }
        std::fprintf(out, "\ntime per exchange: min %.1f ms, median %.1f ms, p95 %.1f ms, max %.1f ms\n", min, median,
                     p95, max);
    }
    std::fflush(out);
}

}  // namespace kelhost
