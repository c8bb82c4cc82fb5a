// Loads the driver the way a supervisory host does: by file name, looking up
// KelMain, with nothing linked in at build time.
#pragma once

#include <string>

#include "kelwnsrp.h"

namespace kelhost {

using KelMainFunction = int32_t (*)(KelRequest*);

class DriverLibrary {
public:
    DriverLibrary() = default;
    ~DriverLibrary();
    DriverLibrary(const DriverLibrary&) = delete;
    DriverLibrary& operator=(const DriverLibrary&) = delete;

    // False with error() set when the library or its KelMain is missing.
    bool Load(const std::string& path);
    int32_t Call(DriverState* state, int32_t command, void* block) const;
    // Installs the driver's trace of the line; false when the driver has none.
    bool SetTrace(KelTraceFunction function, void* context) const;
    const std::string& error() const { return error_; }

    // The driver file next to the program: KELWNSRP.dll or libkelwnsrp.so;
    // on Linux, when there is none (kelhost installed in /usr/bin), the
    // installed driver's SONAME, for the dynamic linker to find.
    static std::string DefaultPath(const char* argv0);

private:
    void* handle_ = nullptr;
    KelMainFunction kelMain_ = nullptr;
    using SetTraceFunction = void (KEL_CALL*)(KelTraceFunction, void*);
    SetTraceFunction setTrace_ = nullptr;
    std::string error_;
};

}  // namespace kelhost
