// Diagnostics go to the host's err(level, format, ...). The format and its
// arguments are handed over unchanged, so the host sees exactly what the
// driver logged; names from the host (a gate address, a port name) are only
// ever arguments, never the format.
#pragma once

namespace kel {

inline constexpr int kLogInfo = 32;       // configuration, lifecycle, address, status
inline constexpr int kLogWriteReply = 8;  // the two write-reply messages

using HostErrFunction = int (*)(int level, const char* format, ...);

// The host's err, found once: on Windows imported from TESKAR.dll; on Linux
// taken from libteskar.so, or a writer to standard error when none loads.
// A program that links the driver's layers and keeps its own log may take
// the messages instead (null gives them back); a host never calls it. Both
// may be called from any thread; the function is called on the thread that
// logs, so a program whose lines run on several threads gives one that may
// be called from them at once.
HostErrFunction HostErr();
void SetHostErr(HostErrFunction function);

template <typename... Args>
void HostLog(int level, const char* format, Args... args) {
    HostErr()(level, format, args...);
}

}  // namespace kel
