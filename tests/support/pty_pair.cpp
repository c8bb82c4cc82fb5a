#include "support/pty_pair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <thread>

namespace kel::test {
namespace detail {
bool ReadTermios2Speeds(int fd, std::uint32_t* input, std::uint32_t* output);
}  // namespace detail

namespace {

using Clock = std::chrono::steady_clock;

int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

}  // namespace

PtyPair::PtyPair() {
    char name[128] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) {
        error_ = std::string("openpty: ") + std::strerror(errno);
        master_ = slave_ = -1;
        return;
    }
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    path_ = name;
    // The master is left as the kernel made it: raw, with no input, output
    // or local processing, so the far side sees the bytes as the slave sent
    // them.
}

PtyPair::~PtyPair() {
    if (slave_ >= 0) close(slave_);
    if (master_ >= 0) close(master_);
}

std::string PtyPair::relativeName() const {
    constexpr char kDev[] = "/dev/";
    return path_.rfind(kDev, 0) == 0 ? path_.substr(sizeof kDev - 1) : path_;
}

termios PtyPair::Attributes() const {
    termios tio {};
    tcgetattr(master_, &tio);
    return tio;
}

std::uint32_t PtyPair::InputSpeed() const {
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    return detail::ReadTermios2Speeds(slave_, &in, &out) ? in : 0;
}

std::uint32_t PtyPair::OutputSpeed() const {
    std::uint32_t in = 0;
    std::uint32_t out = 0;
    return detail::ReadTermios2Speeds(slave_, &in, &out) ? out : 0;
}

bool PtyPair::ExclusiveFlag() const {
    int exclusive = 0;
    if (ioctl(slave_, TIOCGEXCL, &exclusive) != 0) return false;
    return exclusive != 0;
}

bool PtyPair::WriteFromFarSide(const void* bytes, std::size_t count) const {
    const auto* data = static_cast<const unsigned char*>(bytes);
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = write(master_, data + done, count - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return false;
        }
    }
    return true;
}

std::vector<unsigned char> PtyPair::ReadOnFarSide(std::size_t count,
                                                  std::chrono::milliseconds timeout) const {
    std::vector<unsigned char> bytes;
    const Clock::time_point deadline = Clock::now() + timeout;
    while (bytes.size() < count) {
        pollfd pfd {master_, POLLIN, 0};
        const int ready = poll(&pfd, 1, MillisecondsUntil(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0 || (pfd.revents & POLLIN) == 0) break;
        unsigned char chunk[4096];
        const std::size_t want = std::min(sizeof chunk, count - bytes.size());
        const ssize_t n = read(master_, chunk, want);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return bytes;
}

std::vector<unsigned char> PtyPair::DrainFarSide(std::chrono::milliseconds wait) const {
    return ReadOnFarSide(static_cast<std::size_t>(-1) / 2, wait);
}

int PtyPair::BytesWaitingAtSlave() const {
    int waiting = 0;
    return ioctl(slave_, FIONREAD, &waiting) == 0 ? waiting : -1;
}

bool PtyPair::WaitForBytesAtSlave(int count, std::chrono::milliseconds timeout) const {
    const Clock::time_point deadline = Clock::now() + timeout;
    for (;;) {
        if (BytesWaitingAtSlave() == count) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

bool DeviceIsFree(const std::string& path) {
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    const bool free = flock(fd, LOCK_EX | LOCK_NB) == 0;
    close(fd);
    return free;
}

}  // namespace kel::test
