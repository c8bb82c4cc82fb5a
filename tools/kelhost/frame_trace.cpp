#include "tools/kelhost/frame_trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>

#include "protocol/shown_frame.h"

namespace kelhost {

void KEL_CALL PrintFrame(void*, int32_t direction, const char* bytes, int32_t count) {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local {};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    const std::string shown = kel::ShownFrame(bytes, count);
    std::fprintf(stderr, "%02d:%02d:%02d.%03d %c %s\n", local.tm_hour, local.tm_min, local.tm_sec,
                 static_cast<int>(millis), direction == KEL_TRACE_SENT ? '<' : '>', shown.c_str());
}

}  // namespace kelhost
