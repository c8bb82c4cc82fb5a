// The host's optional trace of the frames on the line.
#pragma once

#include <cstdint>

namespace kel {

using LineTraceFunction = void (*)(void* context, std::int32_t direction, const char* bytes, std::int32_t count);

inline constexpr std::int32_t kTraceSent = 0;
inline constexpr std::int32_t kTraceReceived = 1;

// Installs the host's trace function; null removes it. Safe while links on
// other threads trace: each call gets a function with its own context, and
// a call already under way may still end with the one it took.
void SetLineTrace(LineTraceFunction function, void* context);
// Hands bytes to the trace function, if one is installed; the received
// bytes in two pieces, as the link reads a frame's head and body apart.
void TraceSent(const char* bytes, int count);
void TraceReceived(const char* head, int headCount, const char* body, int bodyCount);

}  // namespace kel
