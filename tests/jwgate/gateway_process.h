// A jwgate process for tests: a configuration file in a scratch directory,
// the program started on it with its standard error in a file, and the
// ports it reports once it serves.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace jwgate::test {

// A scratch directory that goes with its files.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    const std::string& path() const { return path_; }
    // Writes text to name inside it; the file's path.
    std::string Write(const std::string& name, const std::string& text) const;

private:
    std::string path_;
};

struct RunResult {
    int exitCode = -1;
    std::string output;  // standard output
    std::string errors;  // standard error
};

// Runs a program to its end (at most timeout), capturing both outputs.
RunResult RunProgram(const std::vector<std::string>& arguments, std::chrono::milliseconds timeout);

// A program running beside the test, its standard error kept; killed by the
// destructor.
class BackgroundProcess {
public:
    explicit BackgroundProcess(const std::vector<std::string>& arguments);
    ~BackgroundProcess();
    BackgroundProcess(const BackgroundProcess&) = delete;
    BackgroundProcess& operator=(const BackgroundProcess&) = delete;
    bool running() const { return pid_ > 0; }
    std::string Errors() const;

private:
    ScratchDirectory directory_;
    pid_t pid_ = -1;
};

class GatewayProcess {
public:
    // Starts jwgate on configuration text, at --log-level debug.
    explicit GatewayProcess(const std::string& configuration);
    ~GatewayProcess();  // SIGKILL if still running

    // Waits until standard error holds text; false on timeout.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const;
    // The Modbus or HTTP port it listens on, once it said so; 0 otherwise.
    int ModbusPort(std::chrono::milliseconds timeout) const;
    int HttpPort(std::chrono::milliseconds timeout) const;
    // SIGTERM (or another signal) and the exit code; -1 for a process that did
    // not end by itself within timeout, 128 + n for one ended by signal n.
    int Stop(int signal, std::chrono::milliseconds timeout);
    std::string Log() const;
    // How many times text stands in the log.
    int TimesLogged(const std::string& text) const;
    pid_t pid() const { return pid_; }

private:
    int ListeningPort(const std::string& server, std::chrono::milliseconds timeout) const;

    ScratchDirectory directory_;
    std::string logPath_;
    pid_t pid_ = -1;
};

}  // namespace jwgate::test
