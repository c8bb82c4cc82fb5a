#include "tools/common/time_text.h"

#include <cstdio>
#include <ctime>

namespace kel::tools {
namespace {

int MillisecondOf(std::chrono::system_clock::time_point when) {
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() % 1000;
    // Before 1970 the remainder is negative; the second is the one below.
    return static_cast<int>(millis < 0 ? millis + 1000 : millis);
}

std::time_t SecondOf(std::chrono::system_clock::time_point when) {
    return std::chrono::system_clock::to_time_t(std::chrono::floor<std::chrono::seconds>(when));
}

}  // namespace

std::string TimeOfDay(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = SecondOf(when);
    std::tm local {};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  MillisecondOf(when));
    return text;
}

std::string FrameLine(std::chrono::system_clock::time_point when, char direction, const std::string& shown) {
    return TimeOfDay(when) + ' ' + direction + ' ' + shown;
}

std::string IsoTime(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = SecondOf(when);
    std::tm utc {};
#if defined(_WIN32)
    gmtime_s(&utc, &seconds);
#else
    gmtime_r(&seconds, &utc);
#endif
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, MillisecondOf(when));
    return text;
}

}  // namespace kel::tools
