#include "tools/jwgate/http/http_server.h"

#include <httplib.h>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/http/metrics_text.h"
#include "tools/jwgate/http/status_json.h"
#include "tools/jwgate/http/status_page.h"

namespace jwgate {
namespace {

// Nothing served takes a body; a client that sends one, or dawdles, is cut off.
constexpr std::size_t kLargestRequestBody = 1024;
constexpr time_t kClientTimeoutSeconds = 5;

}  // namespace

struct HttpServer::Routes {
    httplib::Server server;
};

HttpServer::HttpServer(const HttpConfig& config, SnapshotSource snapshot)
    : config_(config), routes_(std::make_unique<Routes>()) {
    httplib::Server& server = routes_->server;
    server.set_payload_max_length(kLargestRequestBody);
    server.set_read_timeout(kClientTimeoutSeconds, 0);
    server.set_write_timeout(kClientTimeoutSeconds, 0);
    server.Get("/metrics", [snapshot](const httplib::Request&, httplib::Response& response) {
        response.set_content(MetricsText(snapshot()), kMetricsContentType);
    });
    server.Get("/healthz", [snapshot](const httplib::Request&, httplib::Response& response) {
        const GatewaySnapshot now = snapshot();
        response.status = Healthy(now) ? 200 : 503;
        response.set_content(HealthJson(now), "application/json");
    });
    server.Get("/api/points", [snapshot](const httplib::Request&, httplib::Response& response) {
        response.set_header("Cache-Control", "no-store");
        response.set_content(StatusJson(snapshot()), "application/json");
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kStatusPage, "text/html; charset=utf-8");
    });
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::Start(std::string* error) {
    httplib::Server& server = routes_->server;
    const bool bound = config_.port == 0 ? (port_ = server.bind_to_any_port(config_.listen)) > 0
                                         : server.bind_to_port(config_.listen, config_.port);
    if (!bound) {
        *error = "http: cannot listen on " + config_.listen + ":" + std::to_string(config_.port) + ": " +
                 std::strerror(errno);
        return false;
    }
    if (config_.port != 0) port_ = config_.port;
    Log(LogLevel::kInfo, "http: listening on " + config_.listen + ":" + std::to_string(port_));
    thread_ = std::thread([&server] { server.listen_after_bind(); });
    return true;
}

void HttpServer::Stop() {
    if (!thread_.joinable()) return;
    // A stop before the server thread got going would be lost.
    for (int i = 0; i < 1000 && !routes_->server.is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    routes_->server.stop();
    thread_.join();
}

}  // namespace jwgate
