#include "jwgate/gateway_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace jwgate::test {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kStep {20};

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

pid_t Spawn(const std::vector<std::string>& arguments, const std::string& out, const std::string& err) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// The exit code, 128 + signal, or -1 when it did not end within timeout.
int Reap(pid_t pid, std::chrono::milliseconds timeout) {
    const auto until = Clock::now() + timeout;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        if (Clock::now() > until) return -1;
        std::this_thread::sleep_for(kStep);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

ScratchDirectory::ScratchDirectory() {
    char pattern[] = "/tmp/jwgate-test-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path_ = pattern;
}

ScratchDirectory::~ScratchDirectory() {
    if (path_.empty()) return;
    const std::string command = "rm -rf '" + path_ + "'";
    [[maybe_unused]] const int ignored = std::system(command.c_str());
}

std::string ScratchDirectory::Write(const std::string& name, const std::string& text) const {
    const std::string path = path_ + "/" + name;
    std::ofstream(path) << text;
    return path;
}

RunResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout) {
    const ScratchDirectory directory;
    const std::string out = directory.path() + "/out";
    const std::string err = directory.path() + "/err";
    RunResult result;
    const pid_t pid = Spawn(arguments, out, err);
    if (pid < 0) return result;
    result.exitCode = Reap(pid, timeout);
    if (result.exitCode < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    result.output = ReadFile(out);
    result.errors = ReadFile(err);
    return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& arguments) {
    pid_ = Spawn(arguments, "/dev/null", directory_.path() + "/stderr");
}

BackgroundProcess::~BackgroundProcess() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (Reap(pid_, std::chrono::milliseconds(5000)) < 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string BackgroundProcess::Errors() const { return ReadFile(directory_.path() + "/stderr"); }

GatewayProcess::GatewayProcess(const std::string& configuration) {
    const std::string config = directory_.Write("jwgate.toml", configuration);
    logPath_ = directory_.path() + "/stderr";
    pid_ = Spawn({JWGATE_BINARY, "--config", config, "--log-level", "debug"}, "/dev/null", logPath_);
}

GatewayProcess::~GatewayProcess() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

bool GatewayProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    const auto until = Clock::now() + timeout;
    while (Log().find(text) == std::string::npos) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(kStep);
    }
    return true;
}

int GatewayProcess::ModbusPort(std::chrono::milliseconds timeout) const { return ListeningPort("modbus", timeout); }

int GatewayProcess::HttpPort(std::chrono::milliseconds timeout) const { return ListeningPort("http", timeout); }

int GatewayProcess::ListeningPort(const std::string& server, std::chrono::milliseconds timeout) const {
    const std::string marker = server + ": listening on ";
    if (!WaitForLog(marker, timeout)) return 0;
    const std::string log = Log();
    const std::size_t at = log.find(marker);
    const std::size_t colon = log.find(':', at + marker.size());
    return colon == std::string::npos ? 0 : std::atoi(log.c_str() + colon + 1);
}

int GatewayProcess::Stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    kill(pid_, signal);
    const int code = Reap(pid_, timeout);
    if (code >= 0) pid_ = -1;
    return code;
}

std::string GatewayProcess::Log() const { return ReadFile(logPath_); }

int GatewayProcess::TimesLogged(const std::string& text) const {
    const std::string log = Log();
    int times = 0;
    for (auto at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++times;
    return times;
}

}  // namespace jwgate::test
