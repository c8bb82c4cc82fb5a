#include "tools/jwgate/core/line_snapshot.h"

namespace jwgate {

void ScanHistogram::Add(double seconds) {
    for (std::size_t i = 0; i < kBoundsSeconds.size(); ++i) {
        if (seconds <= kBoundsSeconds[i]) {
            ++inBucket[i];
            break;
        }
    }
    ++count;
    sumSeconds += seconds;
}

}  // namespace jwgate
