#include "tools/kelhost/report.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "kelwnsrp.h"
#include "tools/common/time_text.h"

namespace kelhost {

std::string ValueText(double value) {
    char text[32];
    if (value == std::trunc(value) && std::fabs(value) < 1e15) {
        std::snprintf(text, sizeof text, "%.0f", value);
    } else {
        std::snprintf(text, sizeof text, "%.7g", value);
    }
    return text;
}

const char* ResultName(int result) {
    switch (result) {
        case KEL_OK: return "ok";
        case KEL_REFUSED: return "refused";
        case KEL_LINE_FAILURE: return "line failure";
        case KEL_NO_SUCH_COMMAND: return "no such command";
        default: return "failed";
    }
}

Report::Report(ReportFormat format, bool withTime, FILE* out) : format_(format), withTime_(withTime), out_(out) {}

void Report::Header() {
    if (headerDone_) return;
    headerDone_ = true;
    if (format_ == ReportFormat::Csv) {
        std::fprintf(out_, "time,gate,type,value,result,ms\n");
    } else if (format_ == ReportFormat::Table) {
        if (withTime_) std::fprintf(out_, "%-24s ", "TIME");
        std::fprintf(out_, "%-6s %-10s %-6s %12s %-16s %9s  %s\n", "OP", "GATE", "TYPE", "VALUE", "RESULT", "MS",
                     "DETAIL");
    }
}

void Report::Add(const OperationRecord& record) {
    Header();
    const std::string value = record.value ? ValueText(*record.value) : "";
    if (format_ == ReportFormat::Json) {
        nlohmann::json line = {{"op", record.operation},   {"gate", record.gate},
                               {"type", record.type},      {"result", record.result},
                               {"ms", std::round(record.milliseconds * 1000) / 1000},
                               {"time", kel::tools::IsoTime(record.when)}};
        line["value"] = record.value ? nlohmann::json(*record.value) : nlohmann::json(nullptr);
        if (record.value && *record.value == std::trunc(*record.value)) {
            line["value"] = static_cast<int64_t>(*record.value);
        }
        if (!record.detail.empty()) line["detail"] = record.detail;
        if (!record.messages.empty()) line["messages"] = record.messages;
        std::fprintf(out_, "%s\n", line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace).c_str());
    } else if (format_ == ReportFormat::Csv) {
        // Gates, types and numbers never hold a comma or a quote.
        std::fprintf(out_, "%s,%s,%s,%s,%d,%.3f\n", kel::tools::IsoTime(record.when).c_str(), record.gate.c_str(),
                     record.type.c_str(), value.c_str(), record.result, record.milliseconds);
    } else {
        if (withTime_) std::fprintf(out_, "%-24s ", kel::tools::IsoTime(record.when).c_str());
        const std::string result = std::to_string(record.result) + " " + ResultName(record.result);
        std::fprintf(out_, "%-6s %-10s %-6s %12s %-16s %9.1f  %s\n", record.operation.c_str(), record.gate.c_str(),
                     record.type.c_str(), value.c_str(), result.c_str(), record.milliseconds,
                     record.detail.c_str());
    }
    std::fflush(out_);
}

}  // namespace kelhost
