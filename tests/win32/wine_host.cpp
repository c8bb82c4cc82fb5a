#include "wine_host.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

namespace wine_test {

WineHost::WineHost(const std::string& binDir, const std::string& workDir, const std::string& prefix,
                   const std::string& arch) {
    int in[2];
    int out[2];
    if (pipe(in) != 0) return;
    if (pipe(out) != 0) {
        close(in[0]);
        close(in[1]);
        return;
    }
    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        close(in[0]);
        close(in[1]);
        close(out[0]);
        close(out[1]);
        if (chdir(workDir.c_str()) != 0) _exit(126);
        setenv("WINEPREFIX", prefix.c_str(), 1);
        setenv("WINEARCH", arch.c_str(), 1);
        setenv("WINEDEBUG", "-all", 1);
        setenv("WINEDLLOVERRIDES", "mscoree,mshtml=", 1);
        const std::string exe = binDir + "/kelhost.exe";
        const std::string library = binDir + "/KELWNSRP.dll";
        execlp("wine", "wine", exe.c_str(), "--library", library.c_str(), "script", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    toHost_ = in[1];
    fromHost_ = out[0];
}

WineHost::~WineHost() {
    if (toHost_ >= 0) {
        const char quit[] = "quit\n";
        (void)!write(toHost_, quit, sizeof quit - 1);
        close(toHost_);
    }
    if (pid_ > 0) {
        // Give the host a moment to end by itself, then make sure.
        for (int i = 0; i < 100; ++i) {
            if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                break;
            }
            usleep(50000);
        }
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    if (fromHost_ >= 0) close(fromHost_);
}

bool WineHost::ReadLine(std::string* line, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto newline = pending_.find('\n');
        if (newline != std::string::npos) {
            *line = pending_.substr(0, newline);
            if (!line->empty() && line->back() == '\r') line->pop_back();
            pending_.erase(0, newline + 1);
            return true;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) return false;
        pollfd pfd {fromHost_, POLLIN, 0};
        if (poll(&pfd, 1, static_cast<int>(left)) <= 0) continue;
        char chunk[512];
        const ssize_t n = read(fromHost_, chunk, sizeof chunk);
        if (n <= 0) return false;
        pending_.append(chunk, static_cast<std::size_t>(n));
    }
}

Reply WineHost::Run(const std::string& command, int timeoutMs) {
    Reply reply;
    const std::string line = command + "\n";
    if (toHost_ < 0 || write(toHost_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) {
        reply.detail = "host not running";
        return reply;
    }
    std::string answer;
    while (ReadLine(&answer, timeoutMs)) {
        if (answer.rfind("log ", 0) == 0) {
            reply.logs.push_back(answer.substr(4));
        } else if (answer.rfind("result ", 0) == 0) {
            const std::string rest = answer.substr(7);
            const auto space = rest.find(' ');
            reply.result = std::atoi(rest.substr(0, space).c_str());
            reply.detail = space == std::string::npos ? "" : rest.substr(space + 1);
            return reply;
        }
    }
    reply.detail = "no result from the host";
    return reply;
}

}  // namespace wine_test
