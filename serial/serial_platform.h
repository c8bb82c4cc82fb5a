// The one seam between the serial port algorithms and the operating system.
//
// Its operations are the Win32 communication calls the port layer needs,
// under names of our own: the Win32 backend passes them straight through,
// the POSIX backend reproduces their behaviour with termios and poll, and the
// tests put a recording fake or a pseudo-terminal behind it.
//
// A backend is called from any thread, for different handles at once, and
// guards whatever it shares between handles itself (the POSIX table of open
// ports); one handle is used by one thread at a time.
#pragma once

#include <cstdint>

#include "serial/port_handle.h"
#include "serial/rs485.h"

namespace kel {

// Control-line modes of CommState::dtrControl and CommState::rtsControl.
enum : std::uint8_t {
    kDtrControlDisable = 0,
    kDtrControlEnable = 1,
    kDtrControlHandshake = 2,
};
enum : std::uint8_t {
    kRtsControlDisable = 0,
    kRtsControlEnable = 1,
    kRtsControlHandshake = 2,
    kRtsControlToggle = 3,
};

// Every field of the Win32 device control block, so that a backend can hand
// back unchanged whatever the device reported for the fields we do not set.
struct CommState {
    std::uint32_t baudRate = 0;
    bool binary = false;
    bool parityCheck = false;
    bool outxCtsFlow = false;
    bool outxDsrFlow = false;
    std::uint8_t dtrControl = kDtrControlDisable;
    bool dsrSensitivity = false;
    bool txContinueOnXoff = false;
    bool outX = false;
    bool inX = false;
    bool errorCharReplace = false;
    bool nullStrip = false;
    std::uint8_t rtsControl = kRtsControlDisable;
    bool abortOnError = false;
    std::uint16_t xonLim = 0;
    std::uint16_t xoffLim = 0;
    std::uint8_t byteSize = 8;
    std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
    char xonChar = 0;
    char xoffChar = 0;
    char errorChar = 0;
    char eofChar = 0;
    char evtChar = 0;

    bool operator==(const CommState&) const = default;
};

// The Win32 COMMTIMEOUTS, in milliseconds; kMaxTimeout is MAXDWORD.
struct CommTimeouts {
    std::uint32_t readIntervalTimeout = 0;
    std::uint32_t readTotalTimeoutMultiplier = 0;
    std::uint32_t readTotalTimeoutConstant = 0;
    std::uint32_t writeTotalTimeoutMultiplier = 0;
    std::uint32_t writeTotalTimeoutConstant = 0;

    bool operator==(const CommTimeouts&) const = default;
};
inline constexpr std::uint32_t kMaxTimeout = 0xFFFFFFFFu;

class SerialPlatform {
public:
    virtual ~SerialPlatform() = default;

    // CreateFileA: opens an existing device for exclusive reading and
    // writing; InvalidPortHandle() when it cannot.
    virtual PortHandle OpenDevice(const char* name) = 0;
    // CloseHandle.
    virtual bool CloseDevice(PortHandle port) = 0;
    // GetCommState / SetCommState. SetState fails when the device refuses
    // the settings.
    virtual bool GetState(PortHandle port, CommState* state) = 0;
    virtual bool SetState(PortHandle port, const CommState& state) = 0;
    // GetCommTimeouts / SetCommTimeouts.
    virtual bool GetTimeouts(PortHandle port, CommTimeouts* timeouts) = 0;
    virtual bool SetTimeouts(PortHandle port, const CommTimeouts& timeouts) = 0;
    // SetupComm: sizes of the driver's input and output queues.
    virtual bool SetQueueSizes(PortHandle port, std::uint32_t inQueue, std::uint32_t outQueue) = 0;
    // ClearCommError: clears the error state, reports the received bytes
    // waiting to be read.
    virtual bool ClearError(PortHandle port, std::uint32_t* bytesWaiting) = 0;
    // ReadFile: up to count bytes, returning when count arrived or the read
    // timeouts expired; *got is 0 when nothing arrived.
    virtual bool Read(PortHandle port, void* buffer, std::uint32_t count, std::uint32_t* got) = 0;
    // Hands over bytes the backend already holds from an earlier Read, up
    // to and including terminator and at most count, without waiting or
    // asking the system: *got is 0 when it holds none. A backend that reads
    // only what it is asked (ReadFile does) holds none.
    virtual void TakeHeld(PortHandle /*port*/, void* /*buffer*/, std::uint32_t /*count*/, char /*terminator*/,
                          std::uint32_t* got) {
        *got = 0;
    }
    // WriteFile.
    virtual bool Write(PortHandle port, const void* bytes, std::uint32_t count,
                       std::uint32_t* written) = 0;
    // Switches the port's driver to RS-485 half duplex, or back. False with
    // *errorNumber an errno value when it cannot: ENOTTY for a device that
    // has no RS-485 mode, or the driver's reason for refusing the settings.
    virtual bool SetRs485(PortHandle port, const Rs485Settings& settings, int* errorNumber) = 0;
    // Sleep: the pause between a request and reading its reply. Part of the
    // seam so that tests see it in order with the line traffic.
    virtual void Sleep(std::uint32_t milliseconds) = 0;
};

// The backend of the operating system the driver was built for.
SerialPlatform& NativeSerialPlatform();

// The backend the port layer uses: the native one unless a test installed
// another. Passing nullptr restores the native backend. Safe while other
// threads use the layer, though a handle means something only to the
// backend that opened it.
SerialPlatform& ActiveSerialPlatform();
void UseSerialPlatform(SerialPlatform* platform);

}  // namespace kel
