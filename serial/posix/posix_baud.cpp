#include "serial/posix/posix_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would bring the C library's termios types along.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kel::posix {
namespace {

// A UART may only come close to an unusual rate; 2 % is what the far end
// tolerates, anything further off counts as refused.
bool CloseEnough(std::uint64_t actual, std::uint64_t wanted) {
    const std::uint64_t diff = actual > wanted ? actual - wanted : wanted - actual;
    return wanted != 0 && diff * 50 <= wanted;
}

}  // namespace

bool SetBaudRate(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) return false;
    return RunsAtBaudRate(fd, baud);
}

bool RunsAtBaudRate(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    return CloseEnough(tio.c_ospeed, baud) && CloseEnough(tio.c_ispeed, baud);
}

std::uint32_t GetBaudRate(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace kel::posix
