// The configuration file parser on an arbitrary file. The wait time must be
// a 16-bit value, and without the key anywhere in the file it must be 0:
// a file that is present but names nothing sets no pause.
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <string>

#include "host/configuration.h"
#include "fuzz_support.h"

namespace {

// One file for the whole run, removed when the process ends.
char gScratch[] = "/tmp/kel_fuzz_configuration_XXXXXX";

void RemoveScratch() { unlink(gScratch); }

const char* ScratchFile() {
    static const bool made = [] {
        const int fd = mkstemp(gScratch);
        FUZZ_CHECK(fd >= 0);
        close(fd);
        std::atexit(RemoveScratch);
        return true;
    }();
    (void)made;
    return gScratch;
}

bool NamesTheKey(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text.find("WAITINGTIME") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    teskar_clear();
    const char* path = ScratchFile();
    std::FILE* file = std::fopen(path, "wb");
    FUZZ_CHECK(file != nullptr);
    if (size != 0) FUZZ_CHECK(std::fwrite(data, 1, size, file) == size);
    FUZZ_CHECK(std::fclose(file) == 0);

    kel::ReadConfiguration(path);
    const std::int32_t wait = kel::GetReplyWaitTime();
    FUZZ_CHECK(wait >= 0 && wait <= 65535);
    if (!NamesTheKey(std::string(reinterpret_cast<const char*>(data), size))) FUZZ_CHECK(wait == 0);
    return 0;
}
