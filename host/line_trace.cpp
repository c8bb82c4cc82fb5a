#include "host/line_trace.h"

#include <atomic>
#include <cstring>

namespace kel {
namespace {

// The function and its context go together: a trace never calls one
// function with another's context. Every exchange on every thread asks
// whether a trace is set, so that is one atomic read; only with a trace set
// is the pair copied, under a spin lock held for the copy alone (the
// Windows toolchain's C++ library has no std::mutex).
struct Trace {
    LineTraceFunction function = nullptr;
    void* context = nullptr;
};

std::atomic<bool> g_set {false};
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
Trace g_trace;  // under g_busy

class TraceLock {
public:
    TraceLock() {
        while (g_busy.test_and_set(std::memory_order_acquire)) {
        }
    }
    ~TraceLock() { g_busy.clear(std::memory_order_release); }
    TraceLock(const TraceLock&) = delete;
    TraceLock& operator=(const TraceLock&) = delete;
};

Trace CurrentTrace() {
    if (!g_set.load(std::memory_order_relaxed)) return {};
    const TraceLock lock;
    return g_trace;
}

// A reply frame and its "::" at the most: the link never reads more.
constexpr int kLongestReceived = 602;

}  // namespace

void SetLineTrace(LineTraceFunction function, void* context) {
    const TraceLock lock;
    g_trace = Trace {function, function != nullptr ? context : nullptr};
    g_set.store(function != nullptr, std::memory_order_relaxed);
}

void TraceSent(const char* bytes, int count) {
    if (count <= 0) return;
    const Trace trace = CurrentTrace();
    if (trace.function != nullptr) trace.function(trace.context, kTraceSent, bytes, count);
}

void TraceReceived(const char* head, int headCount, const char* body, int bodyCount) {
    if (headCount + bodyCount <= 0) return;
    const Trace trace = CurrentTrace();
    if (trace.function == nullptr) return;
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
    trace.function(trace.context, kTraceReceived, bytes, count);
}

}  // namespace kel
