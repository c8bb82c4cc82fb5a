// When a point's reading is due to go out: on a change of at least its
// deadband, a change of quality, each publish period, or (publish =
// "every_read") after every read.
#pragma once

#include <cstdint>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/clock.h"
#include "tools/jwgate/core/point_table.h"

namespace jwgate {

// What went out last for a point.
struct Published {
    bool ever = false;
    std::uint64_t changes = 0;
    std::uint64_t reads = 0;
    Quality quality = Quality::kBad;
    Clock::time_point at {};
    bool hasValue = false;
    double value = 0;  // as shown
};

bool Due(const PointConfig& point, const PointReading& reading, const Published& last, Clock::time_point now,
         Clock::duration period);

// What Due compares the next reading with, once reading went out at now.
Published PublishedOf(const PointConfig& point, const PointReading& reading, Clock::time_point now);

}  // namespace jwgate
