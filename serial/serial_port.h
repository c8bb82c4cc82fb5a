// The serial port layer: opening a named port with its line settings, closing
// it, changing its read timeout, discarding stale input, and writing and
// reading whole buffers. It keeps no state and writes no diagnostics; its
// result codes are its own and the callers map them. Every operation may be
// called from any thread, for different ports at once (each line on a
// thread of its own); one port's handle is used by one thread at a time.
#pragma once

#include <cstdint>

#include "serial/port_handle.h"
#include "serial/rs485.h"

namespace kel {

enum SerialResult : int {
    kSerialOk = 0,
    kSerialOpenFailed = 1,      // device not opened, timeouts not set, drain read failed
    kSerialShortWrite = 2,      // fewer bytes written than asked
    kSerialStateUnreadable = 4, // current line state could not be read
    kSerialStateRefused = 5,    // new line state refused by the device
    kSerialIoFailed = 7,        // platform call failed, or a read ended with no byte
};

// Read timeout of a freshly opened port, and of the drain inside PurgeInput.
inline constexpr std::uint32_t kOpenReadTimeoutMs = 1000;
inline constexpr std::int32_t kPurgeReadTimeoutUnits = 5;
inline constexpr std::uint32_t kPurgeChunk = 512;
inline constexpr std::uint32_t kQueueSize = 1200;
inline constexpr std::uint32_t kDefaultDrainLimitMs = 2000;

// The name that opens the null device without any line configuration.
inline constexpr char kNullDeviceName[] = "NUL";

// Baud, data bits, stop-bits code (0 one, 1 one and a half, 2 two), parity
// code (0 none, 1 odd, 2 even, 3 mark, 4 space). Only the low byte of the
// three codes counts.
struct LineParameters {
    std::uint32_t baudRate = 0;
    std::uint16_t dataBits = 8;
    std::uint16_t stopBits = 0;
    std::uint16_t parity = 0;
};

// DTR and RTS control modes encoded in the handshake flags word.
std::uint8_t DtrControlFromFlags(std::uint16_t handshakeFlags);
std::uint8_t RtsControlFromFlags(std::uint16_t handshakeFlags);

// Opens and configures the port; *handle receives the platform's handle at
// once, which is usable only when the result is kSerialOk. When the device
// itself cannot be opened, *errorNumber (if given) receives the system's
// errno value for why (ENOENT, EACCES, EBUSY...); otherwise 0.
int OpenPort(const char* name, const LineParameters* line, std::uint16_t handshakeFlags,
             PortHandle* handle, int* errorNumber = nullptr);
int ClosePort(PortHandle port);
// Switches an open port to RS-485 half duplex, or back: kSerialOk, or
// kSerialStateRefused with *errorNumber the system's errno value. Opening a
// port leaves the mode as OpenPort's handshake flags ask, so this comes after.
int SetRs485Mode(PortHandle port, const Rs485Settings& settings, int* errorNumber);
// Sets the read timeout in units of 10 ms; returns the previous one in the
// same units, or 0 on failure.
std::int32_t SetReadTimeout(PortHandle port, std::int32_t units);
// Discards waiting input: reads it away with a short timeout while reads
// come back full, for at most drainLimitMs, so streaming noise cannot hold
// the caller.
int PurgeInput(PortHandle port, std::uint32_t drainLimitMs = kDefaultDrainLimitMs);
// Received bytes waiting to be read; 0 when the port cannot tell.
std::uint32_t WaitingBytes(PortHandle port);
// Whether the device still answers the platform's status call: false once it
// is gone (a USB adapter unplugged, the far end of a pseudo-terminal closed),
// while a silent line that is merely quiet still answers.
bool PortResponds(PortHandle port);
int WritePort(PortHandle port, const void* bytes, std::uint32_t count, std::uint32_t* written);
int ReadPort(PortHandle port, void* buffer, std::uint16_t count, std::uint32_t* got);
// Up to count bytes (count > 0), ending after terminator: the first waits as
// a ReadPort of one byte does, the rest are only what has already been
// received. kSerialOk with *got at least 1, or what ReadPort failed with.
int ReadPortUntil(PortHandle port, char* buffer, std::uint16_t count, char terminator, std::uint32_t* got);

// The pause between a request and reading its reply (the platform's Sleep),
// here so that nothing above this layer reaches into the platform seam.
void Pause(std::uint32_t milliseconds);

}  // namespace kel
