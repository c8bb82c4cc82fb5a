#include "serial/posix/posix_device_name.h"

#include <cstdio>
#include <cstring>

namespace kel {
namespace {

// The number of a "COMn" name, or 0 when the name is not of that form.
unsigned long ComPortNumber(const char* name) {
    if (std::strncmp(name, "COM", 3) != 0) return 0;
    const char* digits = name + 3;
    const std::size_t length = std::strlen(digits);
    if (length == 0 || length > 6 || std::strspn(digits, "0123456789") != length) return 0;
    unsigned long number = 0;
    for (const char* p = digits; *p != '\0'; ++p) number = number * 10 + static_cast<unsigned long>(*p - '0');
    return number;
}

bool Fits(int written, std::size_t size) { return written > 0 && static_cast<std::size_t>(written) < size; }

}  // namespace

bool DevicePathForPortName(const char* name, char* path, std::size_t size) {
    if (name == nullptr || name[0] == '\0' || size == 0) return false;
    if (std::strcmp(name, "NUL") == 0) return Fits(std::snprintf(path, size, "/dev/null"), size);
    if (name[0] == '/') return Fits(std::snprintf(path, size, "%s", name), size);
    if (const unsigned long number = ComPortNumber(name); number != 0) {
        return Fits(std::snprintf(path, size, "/dev/ttyS%lu", number - 1), size);
    }
    // A relative name stays below /dev/.
    if (std::strstr(name, "..") != nullptr) return false;
    return Fits(std::snprintf(path, size, "/dev/%s", name), size);
}

}  // namespace kel
