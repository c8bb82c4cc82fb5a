#include "host/line_trace.h"
#include "kelwnsrp.h"

extern "C" KEL_API void KEL_CALL KelSetTrace(KelTraceFunction function, void* context) {
    kel::SetLineTrace(function, context);
}
