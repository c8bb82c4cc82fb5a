#include "tools/kelhost/driver_library.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace kelhost {

DriverLibrary::~DriverLibrary() {
#if defined(_WIN32)
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
#else
    if (handle_ != nullptr) dlclose(handle_);
#endif
}

bool DriverLibrary::Load(const std::string& path) {
#if defined(_WIN32)
    HMODULE module = LoadLibraryA(path.c_str());
    if (module == nullptr) {
        error_ = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
        return false;
    }
    handle_ = module;
    kelMain_ = reinterpret_cast<KelMainFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "KelMain")));
    setTrace_ = reinterpret_cast<SetTraceFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, "KelSetTrace")));
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle_ == nullptr) {
        error_ = "cannot load " + path + ": " + dlerror();
        return false;
    }
    kelMain_ = reinterpret_cast<KelMainFunction>(dlsym(handle_, "KelMain"));
    setTrace_ = reinterpret_cast<SetTraceFunction>(dlsym(handle_, "KelSetTrace"));
#endif
    if (kelMain_ == nullptr) {
        error_ = path + " has no KelMain";
        return false;
    }
    return true;
}

int32_t DriverLibrary::Call(DriverState* state, int32_t command, void* block) const {
    KelRequest request {state, command, 0, 0, block};
    return kelMain_(&request);
}

bool DriverLibrary::SetTrace(KelTraceFunction function, void* context) const {
    if (setTrace_ == nullptr) return false;
    setTrace_(function, context);
    return true;
}

std::string DriverLibrary::DefaultPath(const char* argv0) {
    std::string path = argv0 != nullptr ? argv0 : "";
#if !defined(_WIN32)
    // The program's own file, wherever it was started from (a bare "kelhost"
    // found on the PATH says nothing of its folder).
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length > 0) path.assign(self, static_cast<std::size_t>(length));
#endif
    const auto slash = path.find_last_of("/\\");
    const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash);
#if defined(_WIN32)
    return folder + "\\KELWNSRP.dll";
#else
    const std::string beside = folder + "/libkelwnsrp.so";
    if (access(beside.c_str(), F_OK) == 0) return beside;
    // Installed (kelhost in /usr/bin): the driver the dynamic linker finds by
    // its SONAME, libkelwnsrp.so.7 in the system's library folder.
#if defined(KEL_DRIVER_SONAME)
    return KEL_DRIVER_SONAME;
#else
    return "libkelwnsrp.so";
#endif
#endif
}

}  // namespace kelhost
