#include "tools/kelhost/frame_trace.h"

#include <chrono>
#include <cstdio>
#include <string>

#include "protocol/shown_frame.h"
#include "tools/common/time_text.h"

namespace kelhost {

void KEL_CALL PrintFrame(void*, int32_t direction, const char* bytes, int32_t count) {
    const std::string line = kel::tools::FrameLine(std::chrono::system_clock::now(),
                                                   direction == KEL_TRACE_SENT ? '<' : '>', kel::ShownFrame(bytes, count));
    std::fprintf(stderr, "%s\n", line.c_str());
}

}  // namespace kelhost
