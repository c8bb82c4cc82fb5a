#include "jwgate/tcp_gate.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <utility>
#include <vector>

#include "jwgate/free_port.h"

namespace jwgate::test {
namespace {

// Moves what one side has to the other; false when either side is done.
bool Carry(int from, int to) {
    char buffer[4096];
    const ssize_t got = read(from, buffer, sizeof buffer);
    return got > 0 && write(to, buffer, static_cast<std::size_t>(got)) == got;
}

}  // namespace

TcpGate::TcpGate(int targetPort) : target_(targetPort), port_(FreeTcpPort()) {
    thread_ = std::thread([this] { Run(); });
}

TcpGate::~TcpGate() {
    stop_ = true;
    thread_.join();
}

void TcpGate::Close() { open_ = false; }
void TcpGate::Open() { open_ = true; }

void TcpGate::Run() {
    int listener = -1;
    std::vector<std::pair<int, int>> pairs;  // (client, target)
    const auto cut = [&pairs] {
        for (const auto& [client, target] : pairs) close(client), close(target);
        pairs.clear();
    };
    while (!stop_) {
        if (!open_ && listener >= 0) {
            close(listener);
            listener = -1;
            cut();
        }
        if (open_ && listener < 0) listener = ListenLoopback(port_);
        std::vector<pollfd> fds {{listener, POLLIN, 0}};
        for (const auto& [client, target] : pairs) {
            fds.push_back({client, POLLIN, 0});
            fds.push_back({target, POLLIN, 0});
        }
        if (poll(fds.data(), fds.size(), 20) <= 0) continue;
        if (listener >= 0 && (fds[0].revents & POLLIN) != 0) {
            const int client = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int target = ConnectRaw(target_);
            if (client >= 0 && target >= 0) {
                pairs.emplace_back(client, target);
            } else {
                if (client >= 0) close(client);
                if (target >= 0) close(target);
            }
            continue;  // the pairs changed under fds
        }
        std::vector<std::pair<int, int>> alive;
        for (std::size_t i = 0; i < pairs.size(); ++i) {
            const auto [client, target] = pairs[i];
            const auto ready = [&fds](std::size_t at) { return (fds[at].revents & (POLLIN | POLLHUP | POLLERR)) != 0; };
            if ((!ready(1 + 2 * i) || Carry(client, target)) && (!ready(2 + 2 * i) || Carry(target, client))) {
                alive.push_back(pairs[i]);
            } else {
                close(client);
                close(target);
            }
        }
        pairs.swap(alive);
    }
    if (listener >= 0) close(listener);
    cut();
}

}  // namespace jwgate::test
