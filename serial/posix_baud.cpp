#include "serial/posix_baud.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>

// <sys/ioctl.h> would bring the C library's termios types along.
extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kel::posix {

bool SetBaudRate(int fd, std::uint32_t baud) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    tio.c_ispeed = baud;
    tio.c_ospeed = baud;
    if (ioctl(fd, TCSETS2, &tio) != 0) return false;
    // A UART may only come close to an unusual rate; 2 % is what the far
    // end tolerates, anything further off counts as refused.
    const std::uint64_t actual = GetBaudRate(fd);
    const std::uint64_t wanted = baud;
    const std::uint64_t diff = actual > wanted ? actual - wanted : wanted - actual;
    return diff * 50 <= wanted;
}

std::uint32_t GetBaudRate(int fd) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace kel::posix
