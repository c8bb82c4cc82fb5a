#include "host/host_log.h"

#include <atomic>

namespace kel {
namespace {
std::atomic<HostErrFunction> programErr {nullptr};
}  // namespace

void SetHostErr(HostErrFunction function) { programErr.store(function); }

}  // namespace kel

#if defined(_WIN32)

extern "C" __declspec(dllimport) int err(int level, const char* format, ...);

namespace kel {
HostErrFunction HostErr() {
    const HostErrFunction taken = programErr.load();
    return taken != nullptr ? taken : &err;
}
}  // namespace kel

#else

#include <dlfcn.h>
#include <link.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kel {
namespace {

constexpr char kHostLibrary[] = "libteskar.so";

// One line per message, whole even when links on several threads log at once.
int ErrToStandardError(int level, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    flockfile(stderr);
    std::fprintf(stderr, "[%d] ", level);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    funlockfile(stderr);
    va_end(args);
    return 0;
}

// dlsym on a library handle also searches its dependencies, and the C
// library has an err(3) that ends the process: accept the symbol only when
// it is defined by the host library itself.
HostErrFunction FindHostErr() {
    void* library = dlopen(kHostLibrary, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) return nullptr;
    void* symbol = dlsym(library, "err");
    link_map* map = nullptr;
    Dl_info where {};
    if (symbol == nullptr || dlinfo(library, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr ||
        dladdr(symbol, &where) == 0 || where.dli_fname == nullptr || map->l_name == nullptr ||
        std::strcmp(where.dli_fname, map->l_name) != 0) {
        dlclose(library);
        return nullptr;
    }
    // The library stays loaded for the life of the process.
    return reinterpret_cast<HostErrFunction>(symbol);
}

}  // namespace

HostErrFunction HostErr() {
    const HostErrFunction taken = programErr.load();
    if (taken != nullptr) return taken;
    static const HostErrFunction function = [] {
        const HostErrFunction found = FindHostErr();
        return found != nullptr ? found : &ErrToStandardError;
    }();
    return function;
}

}  // namespace kel

#endif
