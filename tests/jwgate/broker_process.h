// A mosquitto broker of a test's own, on 127.0.0.1 with anonymous clients
// (or the listener's settings a test gives, e.g. TLS), run from Debian's
// /usr/sbin/mosquitto and killed by the destructor.
#pragma once

#include <sys/types.h>

#include <string>

namespace jwgate::test {

class BrokerProcess {
public:
    // A port nothing listens on just now.
    static int FreePort();

    // listenerSettings: mosquitto.conf lines for the listener in place of
    // "allow_anonymous true".
    explicit BrokerProcess(int port, std::string listenerSettings = "allow_anonymous true\n");
    ~BrokerProcess();  // Kill()
    BrokerProcess(const BrokerProcess&) = delete;
    BrokerProcess& operator=(const BrokerProcess&) = delete;

    // Starts the broker and waits until it accepts connections; false, with
    // error() saying why (and what the broker logged), if it does not.
    bool Start();
    // Terminates the broker and waits for it; nothing if not running.
    void Kill();
    // Before Start: the broker saves its retained messages and its clients'
    // sessions when it ends and takes them back when started again, as a
    // plant's broker does.
    void KeepSessions() { keepSessions_ = true; }

    int port() const { return port_; }
    const std::string& error() const { return error_; }

private:
    bool Accepting() const;

    int port_;
    std::string listenerSettings_;
    pid_t pid_ = -1;
    bool keepSessions_ = false;
    std::string directory_;
    std::string error_;
};

}  // namespace jwgate::test
