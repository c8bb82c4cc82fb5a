#include "tools/jwgate/core/station_state.h"

#include <cstdio>

namespace jwgate {

std::string StationName(int station) {
    char name[8];
    std::snprintf(name, sizeof name, "%02o", static_cast<unsigned int>(station) & 077u);
    return name;
}

}  // namespace jwgate
