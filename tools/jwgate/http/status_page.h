// The status page served at "/": one HTML document (style and script
// inline) that polls /api/points and redraws the point table, the line's
// counters, the stations and the last frames on the line without
// reloading, and draws each point's last hour from /api/history with the
// chart library the gateway serves itself (/static/chart.js): nothing is
// fetched from elsewhere.
#pragma once

#include <string>

namespace jwgate {

extern const char kStatusPage[];

// The chart library the page loads: Debian's libjs-chart.js, read from the
// system; empty when it is not installed.
std::string ChartScript();

}  // namespace jwgate
