#include "host/line_trace.h"

#include <cstring>

namespace kel {
namespace {

LineTraceFunction g_function = nullptr;
void* g_context = nullptr;

// A reply frame and its "::" at the most: the link never reads more.
constexpr int kLongestReceived = 602;

}  // namespace

void SetLineTrace(LineTraceFunction function, void* context) {
    g_function = function;
    g_context = function != nullptr ? context : nullptr;
}

void TraceSent(const char* bytes, int count) {
    if (g_function != nullptr && count > 0) g_function(g_context, kTraceSent, bytes, count);
}

void TraceReceived(const char* head, int headCount, const char* body, int bodyCount) {
    if (g_function == nullptr || headCount + bodyCount <= 0) return;
    char bytes[kLongestReceived];
    int count = 0;
    const auto append = [&](const char* piece, int length) {
        const int taken = length < kLongestReceived - count ? length : kLongestReceived - count;
        if (taken <= 0) return;
        std::memcpy(bytes + count, piece, static_cast<std::size_t>(taken));
        count += taken;
    };
    append(head, headCount);
    append(body, bodyCount);
    g_function(g_context, kTraceReceived, bytes, count);
}

}  // namespace kel
