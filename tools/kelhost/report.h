// What kelhost prints for each operation: an aligned table for people, JSON
// Lines or CSV for programs. Results go to standard output, nothing else does.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace kelhost {

enum class ReportFormat { Table, Json, Csv };

struct OperationRecord {
    std::string operation;  // "check", "read", "write"
    std::string gate;
    std::string type;       // a gate kind name
    std::optional<double> value;
    int result = 0;
    double milliseconds = 0;
    std::chrono::system_clock::time_point when;
    std::string detail;                 // what a check found
    std::vector<std::string> messages;  // what the driver logged
};

class Report {
public:
    // withTime: a time column in the table (a poll's scans).
    Report(ReportFormat format, bool withTime, FILE* out);
    void Add(const OperationRecord& record);

private:
    void Header();

    ReportFormat format_;
    bool withTime_;
    FILE* out_;
    bool headerDone_ = false;
};

// A value as people write it: whole numbers without a fraction.
std::string ValueText(double value);

// "ok", "refused", "line failure", ... for a driver result.
const char* ResultName(int result);

}  // namespace kelhost
