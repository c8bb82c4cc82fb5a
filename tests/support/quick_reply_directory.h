// A fresh working directory for a test that talks to the simulator: it holds
// a kelwnSRP.int with "WAITINGTIME 0", which the driver reads at every open,
// so that no exchange waits 50 ms before reading its reply. The previous
// directory comes back, and the scratch one goes, when it ends.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kel::test_support {

class QuickReplyDirectory {
public:
    // False, with error() saying why, when it cannot be made or entered.
    bool Enter(const char* prefix) {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) return Fail("getcwd");
        std::string pattern = std::string("/tmp/") + prefix + "-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return Fail("mkdtemp");
        scratch_ = pattern;
        if (chdir(scratch_.c_str()) != 0) return Fail("chdir");
        previous_ = cwd;
        std::FILE* file = std::fopen("kelwnSRP.int", "w");
        if (file == nullptr) return Fail("kelwnSRP.int");
        const bool written = std::fputs("WAITINGTIME 0\n", file) >= 0;
        return std::fclose(file) == 0 && written ? true : Fail("kelwnSRP.int");
    }
    ~QuickReplyDirectory() {
        if (!scratch_.empty()) {
            std::remove((scratch_ + "/kelwnSRP.int").c_str());
            rmdir(scratch_.c_str());
        }
        if (!previous_.empty() && chdir(previous_.c_str()) != 0) std::perror("chdir back");
    }
    const std::string& error() const { return error_; }

private:
    bool Fail(const char* what) {
        error_ = std::string(what) + ": " + std::strerror(errno);
        return false;
    }

    std::string previous_;
    std::string scratch_;
    std::string error_;
};

}  // namespace kel::test_support
