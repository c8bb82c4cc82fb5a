// Runs the Windows build of kelhost under Wine in script mode and talks to
// it line by line: each command answers "log LEVEL TEXT" lines and one
// "result CODE DETAIL" line.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace wine_test {

struct Reply {
    int result = -999;
    std::string detail;
    std::vector<std::string> logs;  // "LEVEL TEXT"
};

class WineHost {
public:
    // binDir holds kelhost.exe, KELWNSRP.dll and TESKAR.dll; the host runs
    // with workDir as its current directory and prefix as its WINEPREFIX,
    // which Wine creates for arch (win32 or win64) if it does not exist.
    WineHost(const std::string& binDir, const std::string& workDir, const std::string& prefix,
             const std::string& arch);
    ~WineHost();
    WineHost(const WineHost&) = delete;
    WineHost& operator=(const WineHost&) = delete;

    bool started() const { return pid_ > 0; }
    // Sends one command and waits (up to timeoutMs) for its result line.
    Reply Run(const std::string& command, int timeoutMs = 60000);

private:
    bool ReadLine(std::string* line, int timeoutMs);

    pid_t pid_ = -1;
    int toHost_ = -1;
    int fromHost_ = -1;
    std::string pending_;
};

}  // namespace wine_test
