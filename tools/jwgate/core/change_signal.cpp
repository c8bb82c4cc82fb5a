#include "tools/jwgate/core/change_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace jwgate {

ChangeSignal::ChangeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ChangeSignal::~ChangeSignal() {
    if (fd_ >= 0) close(fd_);
}

void ChangeSignal::Notify() {
    if (fd_ < 0 || pending_.exchange(true)) return;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = write(fd_, &one, sizeof one);
}

void ChangeSignal::Clear() {
    pending_ = false;
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t taken = read(fd_, &count, sizeof count);
}

}  // namespace jwgate
