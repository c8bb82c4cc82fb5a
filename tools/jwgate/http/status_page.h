// The status page served at "/": one self-contained HTML document (style and
// script inline, nothing fetched from elsewhere) that polls /api/points and
// redraws the point table, the line's counters, the stations and the last
// frames on the line without reloading.
#pragma once

namespace jwgate {

extern const char kStatusPage[];

}  // namespace jwgate
