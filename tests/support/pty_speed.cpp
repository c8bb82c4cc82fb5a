// The termios2 read-back of PtyPair, in a file of its own: the kernel's
// termios headers clash with the C library's <termios.h>.
#include <asm/ioctls.h>
#include <asm/termbits.h>

#include <cstdint>

extern "C" int ioctl(int fd, unsigned long request, ...);

namespace kel::test::detail {

bool ReadTermios2Speeds(int fd, std::uint32_t* input, std::uint32_t* output) {
    struct termios2 tio {};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    *input = tio.c_ispeed;
    *output = tio.c_ospeed;
    return true;
}

}  // namespace kel::test::detail
