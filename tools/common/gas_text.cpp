#include "tools/common/gas_text.h"

#include <cstdio>

#include "protocol/areas.h"

namespace kel::tools {

std::string GasText(std::int32_t station, std::int32_t area, std::int32_t item, bool byteMark) {
    char text[16];
    const unsigned s = static_cast<unsigned>(station) & 077u;
    const unsigned n = static_cast<unsigned>(item);
    switch (area) {
        case kAreaR: std::snprintf(text, sizeof text, "%02oR%05o", s, n & 077777u); break;
        case kAreaRT: std::snprintf(text, sizeof text, "%02oRT%04o", s, n & 07777u); break;
        case kAreaT: std::snprintf(text, sizeof text, "%02oT%04o", s, n & 07777u); break;
        case kAreaMA: std::snprintf(text, sizeof text, "%02oMA%04o", s, n & 07777u); break;
        case kAreaMB: std::snprintf(text, sizeof text, "%02oMB%04o", s, n & 07777u); break;
        default:
            // File registers: the file group digit, a 9, three octal digits.
            std::snprintf(text, sizeof text, "%02oM%d9%03o", s, (area - kAreaM09) & 3, n & 0777u);
    }
    std::string gas = text;
    if (byteMark && IsRegisterArea(area)) gas += 'B';
    return gas;
}

}  // namespace kel::tools
