// A pseudo-terminal pair for tests of the real POSIX serial backend.
//
// The slave end is the "serial device" the driver opens by name; the master
// end is the far side of the line, driven by the test. The test also keeps
// its own descriptor of the slave (the one openpty returned) so that the
// pair lives until the PtyPair is destroyed, whatever the driver closes, and
// so that it can look at the slave's queue without opening it again.
#pragma once

#include <termios.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kel::test {

class PtyPair {
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // False when openpty failed; error() then says why.
    bool ok() const { return master_ >= 0 && slave_ >= 0; }
    const std::string& error() const { return error_; }

    int master() const { return master_; }
    int slave() const { return slave_; }
    // "/dev/pts/N".
    const std::string& path() const { return path_; }
    // "pts/N": the name relative to /dev/.
    std::string relativeName() const;

    // The line settings of the slave as the kernel holds them, read through
    // the master (a pty master reports its slave's termios).
    termios Attributes() const;
    // The slave's input and output speed in bits per second, read through
    // the kernel's termios2 interface so that non-standard rates show too;
    // 0 when it cannot be read.
    std::uint32_t InputSpeed() const;
    std::uint32_t OutputSpeed() const;
    // Whether the slave is marked for exclusive use (TIOCEXCL).
    bool ExclusiveFlag() const;

    // Writes every byte on the master; false on error.
    bool WriteFromFarSide(const void* bytes, std::size_t count) const;
    bool WriteFromFarSide(const std::vector<unsigned char>& bytes) const {
        return WriteFromFarSide(bytes.data(), bytes.size());
    }
    // Reads from the master until count bytes arrived or timeout passed.
    std::vector<unsigned char> ReadOnFarSide(std::size_t count, std::chrono::milliseconds timeout) const;
    // Bytes that arrive on the master within wait (for "nothing more came").
    std::vector<unsigned char> DrainFarSide(std::chrono::milliseconds wait) const;

    // Received bytes waiting in the slave's input queue, as FIONREAD reports
    // them; -1 on error.
    int BytesWaitingAtSlave() const;
    // Polls until the slave's input queue holds exactly count bytes; false on
    // timeout. Bytes written on the master reach the slave's queue through a
    // kernel worker, so a test waits for them instead of sleeping.
    bool WaitForBytesAtSlave(int count, std::chrono::milliseconds timeout) const;

private:
    int master_ = -1;
    int slave_ = -1;
    std::string path_;
    std::string error_;
};

// Whether a fresh descriptor of path can take an exclusive flock now, that
// is, whether nobody holds the device. The descriptor is closed again at once.
bool DeviceIsFree(const std::string& path);

}  // namespace kel::test
