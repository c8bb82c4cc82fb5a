// The gateway's HTTP endpoint, off unless configured: GET /metrics for
// Prometheus, GET /healthz for a watchdog, GET / the status page and GET
// /api/points its data. Its own threads answer from snapshots, so a scrape
// or a slow browser never touches the scan's timing. With cert_file and
// key_file it serves HTTPS; a client whose address is not in "allow" is
// refused (over HTTPS before the handshake completes); with users every
// path asks for basic authentication.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/refusal_log.h"
#include "tools/jwgate/http/basic_auth.h"
#include "tools/jwgate/http/gateway_snapshot.h"

namespace jwgate {

class HttpServer {
public:
    using SnapshotSource = std::function<GatewaySnapshot()>;

    HttpServer(const HttpConfig& config, SnapshotSource snapshot);
    ~HttpServer();  // Stop()
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens; false with the reason. port() is the port bound (the one the
    // system chose for 0).
    bool Start(std::string* error);
    void Stop();
    int port() const { return port_; }

private:
    struct Routes;
    // Whether a client from address may go on; counts and logs a refusal.
    bool LetIn(const std::string& address);
    HttpStatistics Statistics() const;

    const HttpConfig config_;
    RefusalLog refusals_ {"http"};
    BasicAuth auth_;
    std::atomic<std::uint64_t> refusedConnections_ {0};
    std::atomic<std::uint64_t> unauthorized_ {0};
    std::unique_ptr<Routes> routes_;
    int port_ = 0;
    // Last, so that everything its thread uses outlives it.
    std::thread thread_;
};

}  // namespace jwgate
