#include "jwgate/broker_process.h"
#include "jwgate/free_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

namespace jwgate::test {
namespace {

const char* const kBroker = "/usr/sbin/mosquitto";
constexpr auto kPatience = std::chrono::seconds(20);
constexpr auto kPoll = std::chrono::milliseconds(20);

sockaddr_in Loopback(int port) {
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

}  // namespace

int BrokerProcess::FreePort() { return FreeTcpPort(); }

BrokerProcess::BrokerProcess(int port, std::string listenerSettings)
    : port_(port), listenerSettings_(std::move(listenerSettings)) {}

BrokerProcess::~BrokerProcess() {
    Kill();
    if (!directory_.empty()) {
        unlink((directory_ + "/broker.conf").c_str());
        unlink((directory_ + "/broker.log").c_str());
        unlink((directory_ + "/mosquitto.db").c_str());
        rmdir(directory_.c_str());
    }
}

bool BrokerProcess::Start() {
    if (access(kBroker, X_OK) != 0) {
        error_ = std::string("no broker at ") + kBroker + ": install Debian's mosquitto package";
        return false;
    }
    if (directory_.empty()) {
        char pattern[] = "/tmp/jwgate-broker-XXXXXX";
        if (mkdtemp(pattern) == nullptr) return error_ = "mkdtemp failed", false;
        directory_ = pattern;
    }
    const std::string config = directory_ + "/broker.conf";
    const std::string log = directory_ + "/broker.log";
    const std::string persistence = keepSessions_ ? "persistence true\npersistence_location " + directory_ +
                                                        "/\nmax_queued_messages 0\n"
                                                  : "persistence false\n";
    std::ofstream(config) << "listener " << port_ << " 127.0.0.1\n" << listenerSettings_ << persistence;
    // Built before fork: the child only calls what is safe there.
    const char* argv[] = {kBroker, "-c", config.c_str(), nullptr};
    pid_ = fork();
    if (pid_ == 0) {
        const int out = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            dup2(out, STDOUT_FILENO);
            dup2(out, STDERR_FILENO);
        }
        execv(kBroker, const_cast<char* const*>(argv));
        _exit(127);
    }
    if (pid_ < 0) return error_ = "fork failed", false;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (!Accepting()) {
        int status = 0;
        const bool exited = waitpid(pid_, &status, WNOHANG) == pid_;
        if (exited) pid_ = -1;
        if (exited || std::chrono::steady_clock::now() > deadline) {
            Kill();
            std::ostringstream logged;
            logged << std::ifstream(log).rdbuf();
            error_ = "broker on port " + std::to_string(port_) + (exited ? " exited" : " never accepted") +
                     "; its log:\n" + logged.str();
            return false;
        }
        std::this_thread::sleep_for(kPoll);
    }
    return true;
}

void BrokerProcess::Kill() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (waitpid(pid_, nullptr, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            break;
        }
        std::this_thread::sleep_for(kPoll);
    }
    pid_ = -1;
}

bool BrokerProcess::Accepting() const {
    const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = Loopback(port_);
    const bool accepted =
        socket >= 0 && connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    if (socket >= 0) close(socket);
    return accepted;
}

}  // namespace jwgate::test
