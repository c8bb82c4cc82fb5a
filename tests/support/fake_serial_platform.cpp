#include "support/fake_serial_platform.h"

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <utility>

namespace kel {

void PrintTo(const CommState& s, std::ostream* out) {
    *out << "{baud " << s.baudRate << ", byteSize " << int {s.byteSize} << ", stopBits "
         << int {s.stopBits} << ", parity " << int {s.parity} << ", binary " << s.binary
         << ", parityCheck " << s.parityCheck << ", outxCts " << s.outxCtsFlow << ", outxDsr "
         << s.outxDsrFlow << ", dtr " << int {s.dtrControl} << ", dsrSens " << s.dsrSensitivity
         << ", txContinue " << s.txContinueOnXoff << ", outX " << s.outX << ", inX " << s.inX
         << ", errorCharReplace " << s.errorCharReplace << ", nullStrip " << s.nullStrip
         << ", rts " << int {s.rtsControl} << ", abortOnError " << s.abortOnError << ", xonLim "
         << s.xonLim << ", xoffLim " << s.xoffLim << ", xon 0x" << std::hex
         << (int {s.xonChar} & 0xFF) << ", xoff 0x" << (int {s.xoffChar} & 0xFF) << ", error 0x"
         << (int {s.errorChar} & 0xFF) << ", eof 0x" << (int {s.eofChar} & 0xFF) << ", evt 0x"
         << (int {s.evtChar} & 0xFF) << std::dec << "}";
}

void PrintTo(const CommTimeouts& timeouts, std::ostream* out) {
    *out << test_support::TimeoutsText(timeouts);
}

}  // namespace kel

namespace kel::test_support {
namespace {

constexpr char kUnknownDevice[] = "?";
constexpr char kNullDevice[] = "NUL";

}  // namespace

std::string TimeoutsText(const CommTimeouts& t) {
    return std::to_string(t.readIntervalTimeout) + "/" +
           std::to_string(t.readTotalTimeoutMultiplier) + "/" +
           std::to_string(t.readTotalTimeoutConstant) + "/" +
           std::to_string(t.writeTotalTimeoutMultiplier) + "/" +
           std::to_string(t.writeTotalTimeoutConstant);
}

CommState FakeSerialPlatform::DistinctiveState() {
    CommState s;
    s.baudRate = 110;
    s.binary = false;
    s.parityCheck = false;
    s.outxCtsFlow = true;
    s.outxDsrFlow = true;
    s.dtrControl = kDtrControlHandshake;
    s.dsrSensitivity = true;
    s.txContinueOnXoff = true;
    s.outX = true;
    s.inX = true;
    s.errorCharReplace = true;
    s.nullStrip = true;
    s.rtsControl = kRtsControlToggle;
    s.abortOnError = true;
    s.xonLim = 1234;
    s.xoffLim = 4321;
    s.byteSize = 5;
    s.parity = 3;
    s.stopBits = 1;
    s.xonChar = 0x11;
    s.xoffChar = 0x13;
    s.errorChar = 0x3F;
    s.eofChar = 0x1A;
    s.evtChar = 0x7E;
    return s;
}

FakeDevice& FakeSerialPlatform::AddDevice(const std::string& name, const CommState& state) {
    FakeDevice& device = devices_[name];
    device = FakeDevice {};
    device.state = state;
    return device;
}

void FakeSerialPlatform::RemoveDevice(const std::string& name) { devices_.erase(name); }

FakeDevice& FakeSerialPlatform::Device(const std::string& name) {
    const auto found = devices_.find(name);
    if (found == devices_.end()) throw std::logic_error("no fake device " + name);
    return found->second;
}

bool FakeSerialPlatform::IsOpen(const std::string& name) const {
    const auto found = devices_.find(name);
    return found != devices_.end() && found->second.openCount > 0;
}

FakeDevice* FakeSerialPlatform::DeviceOf(PortHandle handle) {
    const auto found = open_.find(handle);
    if (found == open_.end()) return nullptr;
    const auto device = devices_.find(found->second);
    return device == devices_.end() ? nullptr : &device->second;
}

std::string FakeSerialPlatform::NameOf(PortHandle handle) const {
    const auto found = open_.find(handle);
    return found == open_.end() ? kUnknownDevice : found->second;
}

PortHandle FakeSerialPlatform::HandleOf(const std::string& name) const {
    PortHandle newest = nullptr;
    for (const auto& [handle, device] : open_) {
        if (device == name) newest = handle;  // the map is ordered; handles only grow
    }
    return newest;
}

void FakeSerialPlatform::Fail(PlatformCall call, int times, int after) {
    failures_[call] = FailurePlan {after, times};
}

void FakeSerialPlatform::QueueInput(const std::string& name,
                                    const std::vector<std::uint8_t>& bytes) {
    FakeDevice& device = Device(name);
    device.waiting.insert(device.waiting.end(), bytes.begin(), bytes.end());
}

void FakeSerialPlatform::ScheduleArrivals(const std::string& name,
                                          const std::vector<std::vector<std::uint8_t>>& chunks) {
    FakeDevice& device = Device(name);
    device.arrivals.insert(device.arrivals.end(), chunks.begin(), chunks.end());
}

std::vector<std::string> FakeSerialPlatform::Calls() const {
    std::vector<std::string> texts;
    texts.reserve(log_.size());
    for (const CallRecord& record : log_) texts.push_back(record.text);
    return texts;
}

std::vector<CallRecord> FakeSerialPlatform::CallsOf(PlatformCall call) const {
    std::vector<CallRecord> records;
    for (const CallRecord& record : log_) {
        if (record.call == call) records.push_back(record);
    }
    return records;
}

bool FakeSerialPlatform::ShouldFail(PlatformCall call) {
    const auto found = failures_.find(call);
    if (found == failures_.end()) return false;
    FailurePlan& plan = found->second;
    if (plan.after > 0) {
        --plan.after;
        return false;
    }
    if (plan.times == kAlways) return true;
    if (plan.times > 0) {
        --plan.times;
        return true;
    }
    return false;
}

CallRecord& FakeSerialPlatform::Record(PlatformCall call, PortHandle handle, std::string text) {
    CallRecord record;
    record.call = call;
    record.text = std::move(text);
    record.handle = handle;
    record.device = NameOf(handle);
    log_.push_back(record);
    return log_.back();
}

PortHandle FakeSerialPlatform::OpenDevice(const char* name) {
    const std::string device = name;
    CallRecord& record = Record(PlatformCall::OpenDevice, nullptr, "OpenDevice " + device);
    record.device = device;
    record.handle = InvalidPortHandle();
    if (ShouldFail(PlatformCall::OpenDevice)) return InvalidPortHandle();
    const auto found = devices_.find(device);
    if (found == devices_.end()) return InvalidPortHandle();
    if (found->second.openCount > 0 && device != kNullDevice) return InvalidPortHandle();

    const auto handle = reinterpret_cast<PortHandle>(nextHandle_);
    nextHandle_ += 0x10;
    open_[handle] = device;
    ++found->second.openCount;
    record.handle = handle;
    record.ok = true;
    return handle;
}

bool FakeSerialPlatform::CloseDevice(PortHandle port) {
    CallRecord& record = Record(PlatformCall::CloseDevice, port, "CloseDevice " + NameOf(port));
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::CloseDevice)) return false;
    open_.erase(port);
    --device->openCount;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::GetState(PortHandle port, CommState* state) {
    CallRecord& record = Record(PlatformCall::GetState, port, "GetState");
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::GetState)) return false;
    *state = device->state;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::SetState(PortHandle port, const CommState& state) {
    CallRecord& record = Record(PlatformCall::SetState, port,
                                "SetState " + std::to_string(state.baudRate) + "/" +
                                    std::to_string(state.byteSize) + "/" +
                                    std::to_string(state.stopBits) + "/" +
                                    std::to_string(state.parity));
    record.state = state;
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::SetState)) return false;
    device->state = state;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::GetTimeouts(PortHandle port, CommTimeouts* timeouts) {
    CallRecord& record = Record(PlatformCall::GetTimeouts, port, "GetTimeouts");
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::GetTimeouts)) return false;
    *timeouts = device->timeouts;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::SetTimeouts(PortHandle port, const CommTimeouts& timeouts) {
    CallRecord& record =
        Record(PlatformCall::SetTimeouts, port, "SetTimeouts " + TimeoutsText(timeouts));
    record.timeouts = timeouts;
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::SetTimeouts)) return false;
    device->timeouts = timeouts;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::SetQueueSizes(PortHandle port, std::uint32_t inQueue,
                                       std::uint32_t outQueue) {
    CallRecord& record =
        Record(PlatformCall::SetQueueSizes, port,
               "SetQueueSizes " + std::to_string(inQueue) + " " + std::to_string(outQueue));
    record.inQueue = inQueue;
    record.outQueue = outQueue;
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::SetQueueSizes)) return false;
    device->inQueue = inQueue;
    device->outQueue = outQueue;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::ClearError(PortHandle port, std::uint32_t* bytesWaiting) {
    CallRecord& record = Record(PlatformCall::ClearError, port, "ClearError");
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::ClearError)) {
        // A failed call reports nothing waiting: a caller that trusts the
        // count without the result skips the drain and shows.
        if (bytesWaiting != nullptr) *bytesWaiting = 0;
        return false;
    }
    const auto waiting = static_cast<std::uint32_t>(device->waiting.size());
    if (bytesWaiting != nullptr) *bytesWaiting = waiting;
    record.done = waiting;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::Read(PortHandle port, void* buffer, std::uint32_t count,
                              std::uint32_t* got) {
    CallRecord& record = Record(PlatformCall::Read, port, "Read " + std::to_string(count));
    record.count = count;
    if (got != nullptr) *got = 0;
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::Read)) return false;

    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint32_t taken = 0;
    const auto take = [&] {
        while (taken < count && !device->waiting.empty()) {
            out[taken++] = device->waiting.front();
            device->waiting.pop_front();
        }
    };
    take();
    if (taken < count && !device->arrivals.empty()) {
        // The next scheduled chunk comes in while this read waits.
        const std::vector<std::uint8_t> chunk = device->arrivals.front();
        device->arrivals.pop_front();
        device->waiting.insert(device->waiting.end(), chunk.begin(), chunk.end());
        take();
    }
    // Fewer bytes than asked: the read ran into its total timeout.
    if (taken < count) record.waitedMs = device->timeouts.readTotalTimeoutConstant;
    if (got != nullptr) *got = taken;
    record.done = taken;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::Write(PortHandle port, const void* bytes, std::uint32_t count,
                               std::uint32_t* written) {
    CallRecord& record = Record(PlatformCall::Write, port, "Write " + std::to_string(count));
    record.count = count;
    if (written != nullptr) *written = 0;
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr || ShouldFail(PlatformCall::Write)) return false;
    const std::uint32_t taken = std::min(count, device->writeLimit);
    const auto* in = static_cast<const std::uint8_t*>(bytes);
    device->written.insert(device->written.end(), in, in + taken);
    if (written != nullptr) *written = taken;
    record.done = taken;
    record.ok = true;
    return true;
}

bool FakeSerialPlatform::SetRs485(PortHandle port, const Rs485Settings& settings, int* errorNumber) {
    const std::string text = settings.enabled ? "SetRs485 on " + std::to_string(settings.delayBeforeSendMs) + "/" +
                                                    std::to_string(settings.delayAfterSendMs)
                                              : "SetRs485 off";
    CallRecord& record = Record(PlatformCall::SetRs485, port, text);
    FakeDevice* device = DeviceOf(port);
    if (device == nullptr) {
        *errorNumber = EBADF;
        return false;
    }
    if (ShouldFail(PlatformCall::SetRs485)) {
        *errorNumber = EINVAL;
        return false;
    }
    record.ok = true;
    return true;
}

void FakeSerialPlatform::Sleep(std::uint32_t milliseconds) {
    CallRecord& record =
        Record(PlatformCall::Sleep, nullptr, "Sleep " + std::to_string(milliseconds));
    record.ok = true;
    record.count = milliseconds;
}

}  // namespace kel::test_support
