// A TCP forwarder on 127.0.0.1 that a test can close: while closed, a client
// is refused as by a host that is down; while open, each connection is
// carried to the target port (and refused if the target refuses).
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

namespace jwgate::test {

class TcpGate {
public:
    explicit TcpGate(int targetPort);
    ~TcpGate();  // closes everything and ends the thread
    TcpGate(const TcpGate&) = delete;
    TcpGate& operator=(const TcpGate&) = delete;

    int port() const { return port_; }
    // Closed: the connections carried so far are cut, new ones refused.
    void Close();
    void Open();

private:
    void Run();

    const int target_;
    int port_ = 0;
    std::atomic<bool> open_ {true};
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

}  // namespace jwgate::test
