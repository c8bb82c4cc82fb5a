// POSIX backend of the serial seam: termios for the line, poll on the
// monotonic clock for the Win32-style read timeouts, flock for exclusive
// access (which, unlike TIOCEXCL, also holds against root).
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "serial/posix/posix_baud.h"
#include "serial/posix/posix_device_name.h"
#include "serial/posix/posix_rs485.h"
#include "serial/serial_platform.h"

namespace kel {
namespace {

using Clock = std::chrono::steady_clock;

// Handles are slot numbers with a generation count, never pointers, so a
// stale or made-up handle from a host is refused instead of dereferenced.
constexpr std::size_t kMaxPorts = 64;
constexpr std::uintptr_t kSlotBits = 8;

// A port that could not be opened, errno set to the reason.
PortHandle Refused(int errorNumber) {
    errno = errorNumber;
    return InvalidPortHandle();
}

// Bytes one read() took beyond what its caller asked for. The link reads a
// reply byte by byte: one read() per arrival serves the following reads.
class InputBuffer {
public:
    std::uint32_t size() const { return static_cast<std::uint32_t>(tail_ - head_); }
    void Clear() { head_ = tail_ = 0; }
    // Moves up to count buffered bytes to destination; how many.
    std::uint32_t Take(unsigned char* destination, std::uint32_t count) {
        const std::uint32_t n = count < size() ? count : size();
        std::memcpy(destination, bytes_.data() + head_, n);
        head_ += n;
        if (head_ == tail_) Clear();
        return n;
    }
    // Like Take, but stops after the first terminator.
    std::uint32_t TakeUntil(unsigned char* destination, std::uint32_t count, unsigned char terminator) {
        const std::uint32_t most = count < size() ? count : size();
        const void* end = std::memchr(bytes_.data() + head_, terminator, most);
        const auto n = end == nullptr
                           ? most
                           : static_cast<std::uint32_t>(static_cast<const unsigned char*>(end) - bytes_.data() -
                                                        static_cast<std::ptrdiff_t>(head_) + 1);
        return Take(destination, n);
    }
    // One read() of whatever has arrived into the empty buffer.
    ssize_t Fill(int fd) {
        Clear();
        const ssize_t n = read(fd, bytes_.data(), bytes_.size());
        if (n > 0) tail_ = static_cast<std::size_t>(n);
        return n;
    }

private:
    std::array<unsigned char, 1024> bytes_ {};
    std::size_t head_ = 0;
    std::size_t tail_ = 0;
};

// What the thread that holds a port's handle works on. One handle is used by
// one thread at a time (the layer's contract), so these need no lock: the
// opener fills them in before the handle exists, and the handle's holder
// alone reads and changes them until its close.
struct Port {
    bool nullDevice = false;
    bool pseudoTerminal = false;
    int fd = -1;
    CommState state;  // fields termios cannot hold are kept here
    CommTimeouts timeouts;
    std::uint32_t inQueue = 0;
    std::uint32_t outQueue = 0;
    InputBuffer input;  // counted as waiting; a purge reads it away like the rest
};

// The open ports, shared by every thread. The mutex guards which slots are
// taken and their generations, never a port's own work: a slot is claimed
// before its device is opened and given back if that fails, so two opens
// cannot pick the same slot; a close takes its slot out of use before it
// closes the descriptor, so no lookup finds a port that is going. Opening
// and closing the device happen outside the lock: a real line's close may
// wait for its output to drain.
class PortTable {
public:
    // A free slot, now the caller's to open; false when every slot is taken.
    bool Claim(std::size_t* slot) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < kMaxPorts; ++i) {
            if (slots_[i].use != Use::kFree) continue;
            slots_[i].use = Use::kOpening;
            *slot = i;
            return true;
        }
        return false;
    }
    // The claimed slot's port, for its opener to fill in.
    Port& Claimed(std::size_t slot) { return slots_[slot].port; }
    // Gives back a claimed slot whose device did not open.
    void Release(std::size_t slot) {
        const std::lock_guard<std::mutex> lock(mutex_);
        slots_[slot].use = Use::kFree;
    }
    // Opens the claimed slot, its port filled in, to lookups: its handle.
    PortHandle Publish(std::size_t slot) {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Keep the handle within 32 bits so it survives any host's storage.
        generation_ = (generation_ + 1) & 0x00FFFFFFu;
        if (generation_ == 0) generation_ = 1;
        slots_[slot].generation = generation_;
        slots_[slot].use = Use::kOpen;
        return reinterpret_cast<PortHandle>((std::uintptr_t {generation_} << kSlotBits) | (slot + 1));
    }
    // The open port a handle names; null for a stale or made-up handle.
    Port* Lookup(PortHandle handle) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Slot* slot = Find(handle);
        return slot != nullptr ? &slot->port : nullptr;
    }
    // Takes the open port a handle names out of use for its close, *slot
    // its slot; null when there is none. EndClose(*slot) must follow.
    Port* BeginClose(PortHandle handle, std::size_t* slot) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Slot* found = Find(handle);
        if (found == nullptr) return nullptr;
        found->use = Use::kClosing;
        *slot = static_cast<std::size_t>(found - slots_);
        return &found->port;
    }
    // Frees the slot of a closed port, or opens it again, handle and all,
    // when it could not be closed.
    void EndClose(std::size_t slot, bool closed) {
        const std::lock_guard<std::mutex> lock(mutex_);
        slots_[slot].use = closed ? Use::kFree : Use::kOpen;
    }

private:
    enum class Use : std::uint8_t { kFree, kOpening, kOpen, kClosing };
    struct Slot {
        Port port;
        Use use = Use::kFree;
        std::uint32_t generation = 0;
    };

    // Under mutex_.
    Slot* Find(PortHandle handle) {
        const auto value = reinterpret_cast<std::uintptr_t>(handle);
        const std::uintptr_t slotPlusOne = value & ((std::uintptr_t {1} << kSlotBits) - 1);
        if (slotPlusOne == 0 || slotPlusOne > kMaxPorts) return nullptr;
        Slot& slot = slots_[slotPlusOne - 1];
        if (slot.use != Use::kOpen || (value >> kSlotBits) != slot.generation) return nullptr;
        return &slot;
    }

    std::mutex mutex_;
    Slot slots_[kMaxPorts];
    std::uint32_t generation_ = 0;
};

PortTable g_ports;

Port* Lookup(PortHandle handle) { return g_ports.Lookup(handle); }

bool IgnorableControlError(int error) {
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EPERM;
}

speed_t StandardSpeed(std::uint32_t baud) {
    switch (baud) {
        case 50: return B50;
        case 75: return B75;
        case 110: return B110;
        case 134: return B134;
        case 150: return B150;
        case 200: return B200;
        case 300: return B300;
        case 600: return B600;
        case 1200: return B1200;
        case 1800: return B1800;
        case 2400: return B2400;
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        case 38400: return B38400;
        case 57600: return B57600;
        default: return B0;
    }
}

// Character size, parity and stop bits as termios flags; false for codes the
// hardware cannot produce (Windows refuses the same combinations).
bool FrameFlags(const CommState& state, tcflag_t* flags) {
    tcflag_t cflag = 0;
    switch (state.byteSize) {
        case 5: cflag |= CS5; break;
        case 6: cflag |= CS6; break;
        case 7: cflag |= CS7; break;
        case 8: cflag |= CS8; break;
        default: return false;
    }
    switch (state.parity) {
        case 0: break;
        case 1: cflag |= PARENB | PARODD; break;
        case 2: cflag |= PARENB; break;
        case 3: cflag |= PARENB | CMSPAR | PARODD; break;
        case 4: cflag |= PARENB | CMSPAR; break;
        default: return false;
    }
    // A UART sends one and a half stop bits when asked for two with five
    // data bits, so 1.5 exists only with five bits and 2 only with more.
    switch (state.stopBits) {
        case 0: break;
        case 1:
            if (state.byteSize != 5) return false;
            cflag |= CSTOPB;
            break;
        case 2:
            if (state.byteSize == 5) return false;
            cflag |= CSTOPB;
            break;
        default: return false;
    }
    *flags = cflag;
    return true;
}

constexpr tcflag_t kFrameMask = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
constexpr tcflag_t kCflagMask = kFrameMask | CRTSCTS | CREAD | CLOCAL;
constexpr tcflag_t kIflagMask = IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR |
                                IGNCR | ICRNL | IXON | IXOFF | IXANY | IUCLC | IMAXBEL;
constexpr tcflag_t kLflagMask = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;

bool SameSettings(const termios& a, const termios& b, tcflag_t cflagMask) {
    return (a.c_cflag & cflagMask) == (b.c_cflag & cflagMask) &&
           (a.c_iflag & kIflagMask) == (b.c_iflag & kIflagMask) &&
           (a.c_lflag & kLflagMask) == (b.c_lflag & kLflagMask) &&
           (a.c_oflag & OPOST) == (b.c_oflag & OPOST) && a.c_cc[VMIN] == b.c_cc[VMIN] &&
           a.c_cc[VTIME] == b.c_cc[VTIME];
}

// The slave side of a Unix98 or BSD pseudo-terminal.
bool IsPseudoTerminalSlave(const struct stat& info) {
    if (!S_ISCHR(info.st_mode)) return false;
    const unsigned int majorNumber = major(info.st_rdev);
    constexpr unsigned int kBsdSlaveMajor = 3;
    constexpr unsigned int kUnix98SlaveMajor = 136;  // to 143
    return majorNumber == kBsdSlaveMajor ||
           (majorNumber >= kUnix98SlaveMajor && majorNumber < kUnix98SlaveMajor + 8);
}

// Whether the device took the settings is judged from what it reports
// afterwards, not from tcsetattr's result: a device may quietly keep what it
// cannot do, and a pseudo-terminal keeps 8 data bits and no parity whatever
// it is asked. The C library's tcsetattr reads such a request back and may
// then fail it with EINVAL although the kernel applied everything else (it
// does when the request changes nothing else). Only a pseudo-terminal is let
// off the character size and parity; a real line that kept another frame
// than asked would garble every frame.
bool ApplyTermios(int fd, const termios& wanted, bool pseudoTerminal) {
    const int rc = tcsetattr(fd, TCSANOW, &wanted);
    if (rc != 0 && errno != EINVAL) return false;
    termios actual {};
    if (tcgetattr(fd, &actual) != 0) return false;
    if (SameSettings(actual, wanted, kCflagMask)) return true;
    constexpr tcflag_t kForcedByPty = CSIZE | PARENB;
    const bool forcedFrame = (actual.c_cflag & kForcedByPty) == CS8;
    return pseudoTerminal && forcedFrame && SameSettings(actual, wanted, kCflagMask & ~kForcedByPty);
}

bool SetModemLine(int fd, int line, bool on) {
    const int bits = line;
    if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &bits) == 0) return true;
    return IgnorableControlError(errno);
}

bool SetRs485Toggle(int fd, bool on) {
    serial_rs485 rs485 {};
    if (ioctl(fd, TIOCGRS485, &rs485) != 0) return IgnorableControlError(errno) || !on;
    const bool enabled = (rs485.flags & SER_RS485_ENABLED) != 0;
    if (enabled == on) return true;
    if (on) {
        rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_RTS_AFTER_SEND);
    } else {
        rs485.flags &= ~static_cast<decltype(rs485.flags)>(SER_RS485_ENABLED);
    }
    if (ioctl(fd, TIOCSRS485, &rs485) == 0) return true;
    return IgnorableControlError(errno);
}

bool ApplyControlLines(int fd, const CommState& state) {
    // DTR handshake has no POSIX counterpart; the line is held on instead.
    const bool dtrOn = state.dtrControl != kDtrControlDisable;
    if (!SetModemLine(fd, TIOCM_DTR, dtrOn)) return false;
    if (state.rtsControl == kRtsControlToggle) return SetRs485Toggle(fd, true);
    if (!SetRs485Toggle(fd, false)) return false;
    // RTS handshake, too, has no counterpart of its own: CRTSCTS would also
    // hold output back on CTS, which this mode does not, so that a cable
    // without CTS would block every write. The line is held on instead.
    return SetModemLine(fd, TIOCM_RTS, state.rtsControl != kRtsControlDisable);
}

void ReadLineState(int fd, const termios& tio, CommState* state) {
    const std::uint32_t baud = posix::GetBaudRate(fd);
    if (baud != 0) state->baudRate = baud;
    switch (tio.c_cflag & CSIZE) {
        case CS5: state->byteSize = 5; break;
        case CS6: state->byteSize = 6; break;
        case CS7: state->byteSize = 7; break;
        default: state->byteSize = 8; break;
    }
    if ((tio.c_cflag & PARENB) == 0) {
        state->parity = 0;
    } else if ((tio.c_cflag & CMSPAR) != 0) {
        state->parity = (tio.c_cflag & PARODD) != 0 ? 3 : 4;
    } else {
        state->parity = (tio.c_cflag & PARODD) != 0 ? 1 : 2;
    }
    if ((tio.c_cflag & CSTOPB) == 0) {
        state->stopBits = 0;
    } else {
        state->stopBits = state->byteSize == 5 ? 1 : 2;
    }
    state->parityCheck = (tio.c_iflag & INPCK) != 0;
    state->outX = (tio.c_iflag & IXON) != 0;
    state->inX = (tio.c_iflag & IXOFF) != 0;
    state->outxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    state->xonChar = static_cast<char>(tio.c_cc[VSTART]);
    state->xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
}

// When a wait gives up: never, now, or at a point on the monotonic clock.
struct WaitLimit {
    enum Kind { kForever, kDeadline } kind = kForever;
    Clock::time_point deadline {};

    static WaitLimit Forever() { return {}; }
    static WaitLimit Until(Clock::time_point at) { return {kDeadline, at}; }
};

// poll's timeout for what is left of limit at now, rounded up so that a wait
// never ends before its deadline.
int PollTimeout(const WaitLimit& limit, Clock::time_point now) {
    if (limit.kind == WaitLimit::kForever) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(limit.deadline - now).count();
    if (left <= 0) return 0;
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

// Waits for fd to become ready, from now on; 1 ready, 0 timed out, -1
// failed. A signal does not restart the wait: it goes on with the time left
// to the same deadline, so a host's periodic timer cannot stretch a timeout.
int WaitReady(int fd, short events, const WaitLimit& limit, Clock::time_point now) {
    for (;; now = Clock::now()) {
        pollfd pfd {fd, events, 0};
        const int rc = poll(&pfd, 1, PollTimeout(limit, now));
        if (rc > 0) return (pfd.revents & (POLLERR | POLLNVAL)) != 0 ? -1 : 1;
        if (rc == 0) {
            // poll's millisecond rounding may wake us a hair early.
            if (limit.kind == WaitLimit::kDeadline && Clock::now() < limit.deadline) continue;
            return 0;
        }
        if (errno != EINTR) return -1;
    }
}

// The Win32 read timeouts for one read of count bytes: interval MAXDWORD
// with zero totals returns at once; MAXDWORD multiplier and interval wait
// for the first byte only; a zero total means no overall limit; all zero
// blocks.
class ReadPlan {
public:
    ReadPlan(const CommTimeouts& t, std::uint32_t count) : interval_(t.readIntervalTimeout) {
        immediate_ = t.readIntervalTimeout == kMaxTimeout && t.readTotalTimeoutMultiplier == 0 &&
                     t.readTotalTimeoutConstant == 0;
        firstByteOnly_ = t.readIntervalTimeout == kMaxTimeout && t.readTotalTimeoutMultiplier == kMaxTimeout &&
                         t.readTotalTimeoutConstant != 0 && t.readTotalTimeoutConstant != kMaxTimeout;
        const std::uint64_t totalMs =
            firstByteOnly_ ? t.readTotalTimeoutConstant
                           : std::uint64_t {t.readTotalTimeoutMultiplier} * count + t.readTotalTimeoutConstant;
        hasTotal_ = !immediate_ && totalMs != 0;
        hasInterval_ = !immediate_ && !firstByteOnly_ && interval_ != 0;
        start_ = Clock::now();
        deadline_ = start_ + std::chrono::milliseconds(totalMs);
    }

    Clock::time_point start() const { return start_; }

    // How long to wait for more, total bytes having arrived so far.
    WaitLimit NextWait(std::uint32_t total) const {
        if (immediate_ || (firstByteOnly_ && total > 0)) return WaitLimit::Until(start_);
        WaitLimit limit = hasTotal_ ? WaitLimit::Until(deadline_) : WaitLimit::Forever();
        if (hasInterval_ && total > 0) {
            const Clock::time_point gap = Clock::now() + std::chrono::milliseconds(interval_);
            if (!hasTotal_ || gap < deadline_) limit = WaitLimit::Until(gap);
        }
        return limit;
    }

private:
    std::uint32_t interval_;
    bool immediate_ = false;
    bool firstByteOnly_ = false;
    bool hasTotal_ = false;
    bool hasInterval_ = false;
    Clock::time_point start_ {};
    Clock::time_point deadline_ {};
};

// Opens the device at path for port (whose nullDevice is set) as the only
// user: port's fd and pseudoTerminal filled in and 0, or errno's reason with
// nothing left open.
int OpenExclusive(const char* path, Port* port) {
    // Non-blocking so that a line without carrier cannot hang the open.
    const int fd = open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return errno;
    struct stat info {};
    int why = 0;
    // Only character devices: never write protocol frames into a file.
    if (fstat(fd, &info) != 0) why = errno;
    else if (!S_ISCHR(info.st_mode)) why = ENOTTY;
    // Another program, or another line of this one, holds the port.
    else if (!port->nullDevice && flock(fd, LOCK_EX | LOCK_NB) != 0) why = EBUSY;
    if (why == 0) {
        const int flags = fcntl(fd, F_GETFL);
        if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) why = errno;
    }
    if (why != 0) {
        close(fd);
        return why;
    }
    // Keeps out other users' opens too. The mark belongs to the device,
    // not to this descriptor, and outlives it on a pseudo-terminal whose
    // master stays open: CloseDevice takes it off again.
    if (!port->nullDevice) ioctl(fd, TIOCEXCL);
    port->fd = fd;
    port->pseudoTerminal = IsPseudoTerminalSlave(info);
    return 0;
}

class PosixSerialPlatform final : public SerialPlatform {
public:
    PortHandle OpenDevice(const char* name) override {
        // Every failure leaves errno saying why, in the system's words.
        char path[kDevicePathSize];
        if (!DevicePathForPortName(name, path, sizeof path)) return Refused(EINVAL);
        std::size_t slot = 0;
        if (!g_ports.Claim(&slot)) return Refused(EMFILE);
        Port& port = g_ports.Claimed(slot);
        port = Port {};
        port.nullDevice = std::strcmp(path, "/dev/null") == 0;
        const int why = OpenExclusive(path, &port);
        if (why != 0) {
            g_ports.Release(slot);
            return Refused(why);
        }
        // A fresh Win32 port starts with every timeout 0 (reads block).
        return g_ports.Publish(slot);
    }

    bool CloseDevice(PortHandle handle) override {
        std::size_t slot = 0;
        Port* port = g_ports.BeginClose(handle, &slot);
        if (port == nullptr) return false;
        if (!port->nullDevice) ioctl(port->fd, TIOCNXCL);
        // Linux releases the descriptor even when close reports EINTR or EIO.
        if (close(port->fd) != 0 && errno == EBADF) {
            g_ports.EndClose(slot, false);
            return false;
        }
        port->fd = -1;
        port->input.Clear();
        g_ports.EndClose(slot, true);
        return true;
    }

    bool GetState(PortHandle handle, CommState* state) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        termios tio {};
        if (tcgetattr(port->fd, &tio) != 0) return false;
        ReadLineState(port->fd, tio, &port->state);
        *state = port->state;
        return true;
    }

    bool SetState(PortHandle handle, const CommState& state) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        tcflag_t frame = 0;
        if (state.baudRate == 0 || !FrameFlags(state, &frame)) return false;
        termios tio {};
        if (tcgetattr(port->fd, &tio) != 0) return false;

        // Fully raw: no echo, no translation, no signals, no canonical lines.
        tio.c_iflag &= ~kIflagMask;
        if (state.parityCheck && (frame & PARENB) != 0) tio.c_iflag |= INPCK;
        if (state.outX) tio.c_iflag |= IXON;
        if (state.inX) tio.c_iflag |= IXOFF;
        tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
        tio.c_lflag &= ~kLflagMask;
        tio.c_cflag &= ~kCflagMask;
        tio.c_cflag |= frame | CREAD | CLOCAL;
        if (state.outxCtsFlow) tio.c_cflag |= CRTSCTS;
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        tio.c_cc[VSTART] = static_cast<cc_t>(state.xonChar);
        tio.c_cc[VSTOP] = static_cast<cc_t>(state.xoffChar);
        const speed_t speed = StandardSpeed(state.baudRate);
        if (speed != B0) {
            cfsetispeed(&tio, speed);
            cfsetospeed(&tio, speed);
            // An input rate of its own, left behind by an earlier termios2
            // rate, would otherwise survive: zero makes it follow the output.
            tio.c_cflag &= ~static_cast<tcflag_t>(CIBAUD);
        }
        if (!ApplyTermios(port->fd, tio, port->pseudoTerminal)) return false;
        // A device that cannot run a standard rate substitutes another.
        if (speed == B0 ? !posix::SetBaudRate(port->fd, state.baudRate)
                        : !posix::RunsAtBaudRate(port->fd, state.baudRate)) {
            return false;
        }
        if (!ApplyControlLines(port->fd, state)) return false;
        port->state = state;
        return true;
    }

    bool GetTimeouts(PortHandle handle, CommTimeouts* timeouts) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        *timeouts = port->timeouts;
        return true;
    }

    bool SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        port->timeouts = timeouts;
        return true;
    }

    bool SetQueueSizes(PortHandle handle, std::uint32_t inQueue, std::uint32_t outQueue) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        port->inQueue = inQueue;
        port->outQueue = outQueue;
        return true;
    }

    bool ClearError(PortHandle handle, std::uint32_t* bytesWaiting) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) return false;
        int waiting = 0;
        if (ioctl(port->fd, FIONREAD, &waiting) != 0) return false;
        *bytesWaiting = (waiting < 0 ? 0u : static_cast<std::uint32_t>(waiting)) + port->input.size();
        return true;
    }

    bool Read(PortHandle handle, void* buffer, std::uint32_t count, std::uint32_t* got) override {
        *got = 0;
        Port* port = Lookup(handle);
        if (port == nullptr) return false;
        if (count == 0 || port->nullDevice) return true;  // the null device never has data
        auto* bytes = static_cast<unsigned char*>(buffer);
        std::uint32_t total = port->input.Take(bytes, count);
        *got = total;
        if (total == count) return true;
        const ReadPlan plan(port->timeouts, count);
        for (bool first = true; total < count; first = false) {
            const WaitLimit limit = plan.NextWait(total);
            const int ready = WaitReady(port->fd, POLLIN, limit, first ? plan.start() : Clock::now());
            if (ready < 0) return false;
            if (ready == 0) break;
            const ssize_t n = port->input.Fill(port->fd);
            if (n > 0) {
                total += port->input.Take(bytes + total, count - total);
                *got = total;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;  // hang-up (no data after POLLIN) or a read error
        }
        return true;
    }

    void TakeHeld(PortHandle handle, void* buffer, std::uint32_t count, char terminator,
                  std::uint32_t* got) override {
        *got = 0;
        Port* port = Lookup(handle);
        if (port == nullptr) return;
        *got = port->input.TakeUntil(static_cast<unsigned char*>(buffer), count,
                                     static_cast<unsigned char>(terminator));
    }

    bool Write(PortHandle handle, const void* bytes, std::uint32_t count,
               std::uint32_t* written) override {
        *written = 0;
        Port* port = Lookup(handle);
        if (port == nullptr) return false;
        const CommTimeouts& t = port->timeouts;
        const std::uint64_t totalMs =
            std::uint64_t {t.writeTotalTimeoutMultiplier} * count + t.writeTotalTimeoutConstant;
        // Without a write timeout the blocking write() itself waits for room.
        const bool timed = totalMs != 0;
        const Clock::time_point start = timed ? Clock::now() : Clock::time_point {};
        const WaitLimit limit = WaitLimit::Until(start + std::chrono::milliseconds(totalMs));
        const auto* data = static_cast<const unsigned char*>(bytes);
        std::uint32_t total = 0;
        while (total < count) {
            if (timed) {
                const int ready = WaitReady(port->fd, POLLOUT, limit, Clock::now());
                if (ready < 0) return false;
                if (ready == 0) break;  // write timeout: report what went out
            }
            const ssize_t n = write(port->fd, data + total, count - total);
            if (n > 0) {
                total += static_cast<std::uint32_t>(n);
                *written = total;
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;
        }
        return true;
    }

    bool SetRs485(PortHandle handle, const Rs485Settings& settings, int* errorNumber) override {
        Port* port = Lookup(handle);
        if (port == nullptr || port->nullDevice) {
            *errorNumber = port == nullptr ? EBADF : ENOTTY;
            return false;
        }
        // A device without the mode fails the read already; the request is
        // then made from nothing, and its own failure tells why.
        serial_rs485 current {};
        if (ioctl(port->fd, TIOCGRS485, &current) != 0) current = serial_rs485 {};
        serial_rs485 request = posix::Rs485Request(current, settings);
        if (ioctl(port->fd, TIOCSRS485, &request) == 0) return true;
        *errorNumber = errno;
        return false;
    }

    void Sleep(std::uint32_t milliseconds) override {
        // A pause of nothing costs nothing; nanosleep(0) would still be a
        // system call and, with timer slack, tens of microseconds.
        if (milliseconds == 0) return;
        timespec left {static_cast<time_t>(milliseconds / 1000),
                       static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&left, &left) != 0 && errno == EINTR) {
        }
    }
};

}  // namespace

SerialPlatform& NativeSerialPlatform() {
    static PosixSerialPlatform platform;
    return platform;
}

}  // namespace kel
