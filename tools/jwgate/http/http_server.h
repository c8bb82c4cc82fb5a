// The gateway's HTTP endpoint, off unless configured: GET /metrics for
// Prometheus, GET /healthz for a watchdog, GET / the status page, GET
// /api/points its data and GET /api/history a point's kept values (with a
// [store]). Its own threads answer from snapshots, so a scrape
// or a slow browser never touches the scan's timing. With cert_file and
// key_file it serves HTTPS; a client whose address is not in "allow" is
// refused (over HTTPS before the handshake completes); with users every
// path asks for basic authentication.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tools/jwgate/config/config.h"
#include "tools/jwgate/core/refusal_log.h"
#include "tools/jwgate/http/basic_auth.h"
#include "tools/jwgate/http/gateway_snapshot.h"
#include "tools/jwgate/store/stored_message.h"

namespace jwgate {

class HttpServer {
public:
    using SnapshotSource = std::function<GatewaySnapshot()>;
    // A point's kept values from fromMs to toMs, oldest first, at most
    // limit; called on the server's threads. Empty without a store.
    using HistorySource = std::function<std::vector<HistoryRow>(const std::string& point, std::int64_t fromMs,
                                                                std::int64_t toMs, std::size_t limit)>;

    HttpServer(std::shared_ptr<const GatewayConfig> config, SnapshotSource snapshot, HistorySource history);
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
    void Route(SnapshotSource snapshot, HistorySource history);
    // Whether a client from address may go on; counts and logs a refusal.
    bool LetIn(const std::string& address);
    HttpStatistics Statistics() const;

    const std::shared_ptr<const GatewayConfig> gateway_;
    const HttpConfig& config_;
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
