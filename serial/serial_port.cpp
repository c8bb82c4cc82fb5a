#include "serial/serial_port.h"

#include "serial/serial_platform.h"

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace kel {

namespace {

// Read by every operation, on whichever thread runs it.
std::atomic<SerialPlatform*> g_platform {nullptr};

}  // namespace

SerialPlatform& ActiveSerialPlatform() {
    SerialPlatform* const installed = g_platform.load(std::memory_order_acquire);
    return installed != nullptr ? *installed : NativeSerialPlatform();
}

void UseSerialPlatform(SerialPlatform* platform) { g_platform.store(platform, std::memory_order_release); }

std::uint8_t DtrControlFromFlags(std::uint16_t flags) {
    if ((flags & 0x0001u) != 0 || (flags & 0x0100u) != 0) return kDtrControlEnable;
    if ((flags & 0x8000u) != 0) return kDtrControlHandshake;
    return kDtrControlDisable;
}

std::uint8_t RtsControlFromFlags(std::uint16_t flags) {
    if ((flags & 0x0002u) != 0 || (flags & 0x0200u) != 0) return kRtsControlEnable;
    if ((flags & 0x1000u) != 0) return kRtsControlHandshake;
    if ((flags & 0x2000u) != 0) return kRtsControlToggle;
    return kRtsControlDisable;
}

int OpenPort(const char* name, const LineParameters* line, std::uint16_t handshakeFlags,
             PortHandle* handle, int* errorNumber) {
    SerialPlatform& platform = ActiveSerialPlatform();
    if (errorNumber != nullptr) *errorNumber = 0;
    if (name == nullptr || line == nullptr) {
        *handle = InvalidPortHandle();
        return kSerialOpenFailed;
    }
    errno = 0;  // a platform that keeps no errno leaves the reason unknown
    const PortHandle port = platform.OpenDevice(name);
    *handle = port;
    if (port == InvalidPortHandle()) {
        if (errorNumber != nullptr) *errorNumber = errno;
        return kSerialOpenFailed;
    }
    // The null device takes no line state, timeouts or queue sizes.
    if (std::strcmp(name, kNullDeviceName) == 0) return kSerialOk;

    CommState state;
    if (!platform.GetState(port, &state)) {
        platform.CloseDevice(port);
        return kSerialStateUnreadable;
    }

    CommTimeouts timeouts;
    timeouts.readTotalTimeoutConstant = kOpenReadTimeoutMs;
    if (!platform.SetTimeouts(port, timeouts)) {
        platform.CloseDevice(port);
        return kSerialOpenFailed;
    }

    state.baudRate = line->baudRate;
    state.byteSize = static_cast<std::uint8_t>(line->dataBits & 0xFFu);
    state.stopBits = static_cast<std::uint8_t>(line->stopBits & 0xFFu);
    state.parity = static_cast<std::uint8_t>(line->parity & 0xFFu);
    state.binary = true;
    state.parityCheck = true;  // on whatever the parity code
    state.outxCtsFlow = false;
    state.outxDsrFlow = false;
    state.dsrSensitivity = false;
    state.outX = false;
    state.inX = false;
    state.errorCharReplace = false;
    state.nullStrip = false;
    state.abortOnError = false;
    state.dtrControl = DtrControlFromFlags(handshakeFlags);
    state.rtsControl = RtsControlFromFlags(handshakeFlags);
    state.errorChar = static_cast<char>(0xFC);  // stored, though replacement stays off
    if (!platform.SetState(port, state)) {
        platform.CloseDevice(port);
        return kSerialStateRefused;
    }

    platform.SetQueueSizes(port, kQueueSize, kQueueSize);
    return kSerialOk;
}

int ClosePort(PortHandle port) {
    return ActiveSerialPlatform().CloseDevice(port) ? kSerialOk : kSerialIoFailed;
}

int SetRs485Mode(PortHandle port, const Rs485Settings& settings, int* errorNumber) {
    *errorNumber = 0;
    return ActiveSerialPlatform().SetRs485(port, settings, errorNumber) ? kSerialOk : kSerialStateRefused;
}

std::int32_t SetReadTimeout(PortHandle port, std::int32_t units) {
    SerialPlatform& platform = ActiveSerialPlatform();
    CommTimeouts timeouts;
    if (!platform.GetTimeouts(port, &timeouts)) return 0;
    const std::uint32_t previous = timeouts.readTotalTimeoutConstant;
    // A unit count whose milliseconds do not fit 32 bits saturates rather
    // than wrapping to a short timeout.
    constexpr std::uint64_t kLongest = kMaxTimeout - 1;  // MAXDWORD has meanings of its own
    const std::uint64_t ms = std::uint64_t {static_cast<std::uint32_t>(units)} * 10u;
    const auto wanted = static_cast<std::uint32_t>(ms > kLongest ? kLongest : ms);
    if (wanted != previous) {
        timeouts.readTotalTimeoutConstant = wanted;
        if (!platform.SetTimeouts(port, timeouts)) return 0;
    }
    return static_cast<std::int32_t>(previous / 10);
}

int PurgeInput(PortHandle port, std::uint32_t drainLimitMs) {
    SerialPlatform& platform = ActiveSerialPlatform();
    std::uint32_t waiting = 0;
    const bool cleared = platform.ClearError(port, &waiting);
    if (cleared && waiting == 0) return kSerialOk;

    const std::int32_t previous = SetReadTimeout(port, kPurgeReadTimeoutUnits);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(drainLimitMs);
    unsigned char scratch[kPurgeChunk];
    bool readOk = false;
    std::uint32_t got = 0;
    do {
        got = 0;
        readOk = platform.Read(port, scratch, kPurgeChunk, &got);
    } while (readOk && got == kPurgeChunk && std::chrono::steady_clock::now() < deadline);
    if (previous != 0) SetReadTimeout(port, previous);
    return readOk ? kSerialOk : kSerialOpenFailed;
}

std::uint32_t WaitingBytes(PortHandle port) {
    std::uint32_t waiting = 0;
    return ActiveSerialPlatform().ClearError(port, &waiting) ? waiting : 0;
}

bool PortResponds(PortHandle port) {
    std::uint32_t waiting = 0;
    return ActiveSerialPlatform().ClearError(port, &waiting);
}

int WritePort(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written) {
    std::uint32_t done = 0;
    if (!ActiveSerialPlatform().Write(port, bytes, count, &done)) return kSerialIoFailed;
    if (written != nullptr) *written = done;
    return done == count ? kSerialOk : kSerialShortWrite;
}

void Pause(std::uint32_t milliseconds) { ActiveSerialPlatform().Sleep(milliseconds); }

int ReadPort(PortHandle port, void* buffer, std::uint16_t count, std::uint32_t* got) {
    SerialPlatform& platform = ActiveSerialPlatform();
    if (got != nullptr) *got = 0;
    auto* bytes = static_cast<unsigned char*>(buffer);
    std::uint32_t total = 0;
    while (total < count) {
        const auto missing = static_cast<std::uint16_t>(count - total);
        std::uint32_t chunk = 0;
        if (!platform.Read(port, bytes + total, missing, &chunk)) return kSerialIoFailed;
        if (chunk == 0) return kSerialIoFailed;
        // A backend never reports more than asked; guard anyway so a faulty
        // one cannot push the total past the buffer.
        if (chunk > missing) chunk = missing;
        total += chunk;
        if (got != nullptr) *got = total;
    }
    return kSerialOk;
}

int ReadPortUntil(PortHandle port, char* buffer, std::uint16_t count, char terminator, std::uint32_t* got) {
    const int first = ReadPort(port, buffer, 1, got);
    if (first != kSerialOk || count <= 1 || buffer[0] == terminator) return first;
    std::uint32_t held = 0;
    ActiveSerialPlatform().TakeHeld(port, buffer + 1, count - 1u, terminator, &held);
    *got = 1 + (held < count - 1u ? held : count - 1u);
    return kSerialOk;
}

}  // namespace kel
