#include "serial/win32/win32_device_name.h"

#include <cstdio>
#include <cstring>

namespace kel {
namespace {

bool IsComPortName(const char* name) {
    const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (upper(name[0]) != 'C' || upper(name[1]) != 'O' || upper(name[2]) != 'M') return false;
    const std::size_t digits = std::strlen(name + 3);
    return digits > 0 && digits <= 8 && std::strspn(name + 3, "0123456789") == digits;
}

}  // namespace

bool Win32DeviceName(const char* name, char* device, std::size_t size) {
    if (name == nullptr || name[0] == '\0' || size == 0) return false;
    const int written = IsComPortName(name) ? std::snprintf(device, size, "\\\\.\\%s", name)
                                            : std::snprintf(device, size, "%s", name);
    return written > 0 && static_cast<std::size_t>(written) < size;
}

}  // namespace kel
