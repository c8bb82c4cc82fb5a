// An in-memory serial platform for unit tests.
//
// It keeps a set of named devices, each with the line state, timeouts and
// queue sizes a real device would hold between calls, bytes waiting to be
// read, bytes scheduled to arrive during later reads, and everything written
// to it. Every call through the seam is logged in order, both as a structured
// record and as a short text ("OpenDevice COM1", "GetState",
// "SetTimeouts 0/0/1000/0/0", "SetState 9600/7/0/2", "SetQueueSizes 1200 1200",
// "ClearError", "Read 512", "Write 13", "CloseDevice COM1"), so a test can
// assert the exact sequence the port layer produced.
//
// Time is simulated: a read that ends with fewer bytes than asked records that
// it waited the port's read timeout (ReadTotalTimeoutConstant) and returns at
// once.
//
// Opening is exclusive as on Win32: a device already open cannot be opened
// again, except the null device "NUL". Calls on a handle that is not open
// fail and are logged with the device name "?".
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include "serial/serial_platform.h"

namespace kel {

// Readable failure messages for the seam's records.
void PrintTo(const CommState& state, std::ostream* out);
void PrintTo(const CommTimeouts& timeouts, std::ostream* out);

}  // namespace kel

namespace kel::test_support {

enum class PlatformCall {
    OpenDevice,
    CloseDevice,
    GetState,
    SetState,
    GetTimeouts,
    SetTimeouts,
    SetQueueSizes,
    ClearError,
    Read,
    Write,
    Sleep,
    SetRs485,
};

// One call through the seam, with its arguments and what the fake answered.
struct CallRecord {
    PlatformCall call = PlatformCall::OpenDevice;
    std::string text;       // the short form, as returned by Calls()
    std::string device;     // device the handle belongs to; "?" for an unknown handle
    PortHandle handle = nullptr;  // the handle passed, or the one OpenDevice returned
    bool ok = false;        // the call's result
    std::uint32_t count = 0;     // Read/Write: bytes asked
    std::uint32_t done = 0;      // Read: bytes got; Write: bytes taken; ClearError: bytes waiting
    std::uint32_t waitedMs = 0;  // Read: simulated wait for bytes that did not come
    CommState state;             // SetState: the state passed
    CommTimeouts timeouts;       // SetTimeouts: the timeouts passed
    std::uint32_t inQueue = 0;   // SetQueueSizes
    std::uint32_t outQueue = 0;
};

// What a device holds between calls. Tests may read and change it directly;
// doing so is not a platform call and is not logged.
struct FakeDevice {
    CommState state;          // as GetState reports it and SetState leaves it
    CommTimeouts timeouts;    // as GetTimeouts reports it and SetTimeouts leaves it
    std::uint32_t inQueue = 0;   // last SetQueueSizes
    std::uint32_t outQueue = 0;
    std::deque<std::uint8_t> waiting;                 // received, not yet read
    std::deque<std::vector<std::uint8_t>> arrivals;   // one chunk arrives during each later Read
    std::vector<std::uint8_t> written;                // every byte a Write took
    std::uint32_t writeLimit = 0xFFFFFFFFu;           // most bytes one Write takes
    int openCount = 0;        // handles currently open on the device
};

class FakeSerialPlatform final : public SerialPlatform {
public:
    static constexpr int kAlways = -1;

    // A device state with every field the port layer must keep set to a
    // value it would never choose itself, so that an overwritten field shows.
    static CommState DistinctiveState();

    // Makes a device of that name exist. Its state starts as given.
    FakeDevice& AddDevice(const std::string& name, const CommState& state = DistinctiveState());
    void RemoveDevice(const std::string& name);
    FakeDevice& Device(const std::string& name);  // the named device; it must exist
    bool IsOpen(const std::string& name) const;

    // The device a handle belongs to, or nullptr when the handle is not open.
    FakeDevice* DeviceOf(PortHandle handle);
    std::string NameOf(PortHandle handle) const;  // "?" when not open
    // The handle of the device's most recent successful open, still open;
    // nullptr otherwise.
    PortHandle HandleOf(const std::string& name) const;

    // Makes calls of one kind fail: the next `after` calls succeed, then
    // `times` calls fail (kAlways: every one from then on).
    void Fail(PlatformCall call, int times = 1, int after = 0);

    // Received bytes, waiting at once (ClearError counts them).
    void QueueInput(const std::string& name, const std::vector<std::uint8_t>& bytes);
    // Bytes that arrive later: each chunk arrives during one Read that finds
    // fewer bytes waiting than it asks for, in order.
    void ScheduleArrivals(const std::string& name,
                          const std::vector<std::vector<std::uint8_t>>& chunks);

    const std::vector<CallRecord>& Log() const { return log_; }
    std::vector<std::string> Calls() const;        // the short texts, in order
    std::vector<CallRecord> CallsOf(PlatformCall call) const;
    void ClearLog() { log_.clear(); }

    // SerialPlatform
    PortHandle OpenDevice(const char* name) override;
    bool CloseDevice(PortHandle port) override;
    bool GetState(PortHandle port, CommState* state) override;
    bool SetState(PortHandle port, const CommState& state) override;
    bool GetTimeouts(PortHandle port, CommTimeouts* timeouts) override;
    bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) override;
    bool SetQueueSizes(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) override;
    bool ClearError(PortHandle port, std::uint32_t* bytesWaiting) override;
    bool Read(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* got) override;
    bool Write(PortHandle port, const void* bytes, std::uint32_t count,
               std::uint32_t* written) override;
    // Logged as "SetRs485 on B/A" (the delays) or "SetRs485 off"; a failure
    // plan fails it with EINVAL.
    bool SetRs485(PortHandle port, const Rs485Settings& settings, int* errorNumber) override;
    // Logged as "Sleep N" with count N; nothing really sleeps.
    void Sleep(std::uint32_t milliseconds) override;

private:
    struct FailurePlan {
        int after = 0;
        int times = 0;
    };

    bool ShouldFail(PlatformCall call);
    CallRecord& Record(PlatformCall call, PortHandle handle, std::string text);

    std::map<std::string, FakeDevice> devices_;
    std::map<PortHandle, std::string> open_;  // open handle -> device name
    std::map<PlatformCall, FailurePlan> failures_;
    std::vector<CallRecord> log_;
    std::uintptr_t nextHandle_ = 0x1000;
};

// "a/b/c/d/e" in the field order of CommTimeouts.
std::string TimeoutsText(const CommTimeouts& timeouts);

}  // namespace kel::test_support
