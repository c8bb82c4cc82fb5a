// What a poll saw: how many exchanges, which failed with which result, and
// how long they took.
#pragma once

#include <cstdio>
#include <map>
#include <vector>

#include "tools/kelhost/report.h"

namespace kelhost {

class PollStatistics {
public:
    void Add(int result, double milliseconds);
    // People get a few lines; --json a {"stats": ...} line.
    void Print(ReportFormat format, FILE* out) const;

    int exchanges() const { return static_cast<int>(times_.size()); }
    int failures() const;

private:
    // Nearest rank: the smallest time at least share of the times reach.
    double Percentile(double share) const;

    std::vector<double> times_;
    std::map<int, int> failuresByResult_;
};

}  // namespace kelhost
