#include "tools/jwgate/http/http_server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>

#include "tools/jwgate/core/log.h"
#include "tools/jwgate/http/history_query.h"
#include "tools/jwgate/http/metrics_text.h"
#include "tools/jwgate/http/status_json.h"
#include "tools/jwgate/http/status_page.h"

namespace jwgate {
namespace {

// Nothing served takes a body; a client that sends one, or dawdles, is cut off.
constexpr std::size_t kLargestRequestBody = 1024;
constexpr time_t kClientTimeoutSeconds = 5;

std::string PeerAddress(int fd) {
    sockaddr_in peer {};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) != 0 || peer.sin_family != AF_INET) return {};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
    return text;
}

void AnswerHistory(const GatewayConfig& config, const HttpServer::HistorySource& history,
                   const httplib::Request& request, httplib::Response& response) {
    response.set_header("Cache-Control", "no-store");
    const auto refuse = [&response](int status, const std::string& message) {
        response.status = status;
        response.set_content(ErrorJson(message), "application/json");
    };
    if (!history) return refuse(404, "history needs a [store] in the configuration");
    HistoryQuery query;
    std::string error;
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    if (!ParseHistoryQuery(request.params, std::chrono::duration_cast<std::chrono::milliseconds>(now).count(), &query,
                           &error)) {
        return refuse(400, error);
    }
    const auto point = std::find_if(config.points.begin(), config.points.end(),
                                    [&query](const PointConfig& p) { return p.name == query.point; });
    if (point == config.points.end()) return refuse(404, "no point is named " + query.point);
    const std::vector<HistoryRow> rows = history(query.point, query.fromMs, query.toMs, query.limit);
    if (query.csv) {
        response.set_content(HistoryCsv(*point, rows), "text/csv; charset=utf-8");
    } else {
        response.set_content(HistoryJson(*point, rows), "application/json");
    }
}

}  // namespace

struct HttpServer::Routes {
    std::unique_ptr<httplib::Server> server;
    std::function<bool(const std::string&)> letIn;

    // Over HTTPS a refused client is cut off at its first handshake message,
    // before anything of HTTP is read.
    static int OnClientHello(SSL* ssl, int* alert, void* routes) {
        if (static_cast<Routes*>(routes)->letIn(PeerAddress(SSL_get_fd(ssl)))) return SSL_CLIENT_HELLO_SUCCESS;
        *alert = SSL_AD_ACCESS_DENIED;
        return SSL_CLIENT_HELLO_ERROR;
    }
};

HttpServer::HttpServer(std::shared_ptr<const GatewayConfig> config, SnapshotSource snapshot, HistorySource history)
    : gateway_(std::move(config)), config_(gateway_->http), auth_(config_.users), routes_(std::make_unique<Routes>()) {
    routes_->letIn = [this](const std::string& address) { return LetIn(address); };
    if (config_.certFile.empty()) {
        routes_->server = std::make_unique<httplib::Server>();
    } else {
        Routes* routes = routes_.get();
        routes_->server = std::make_unique<httplib::SSLServer>([this, routes](SSL_CTX& context) {
            SSL_CTX_set_min_proto_version(&context, TLS1_2_VERSION);
            SSL_CTX_set_options(&context, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
            SSL_CTX_set_client_hello_cb(&context, &Routes::OnClientHello, routes);
            return SSL_CTX_use_certificate_chain_file(&context, config_.certFile.c_str()) == 1 &&
                   SSL_CTX_use_PrivateKey_file(&context, config_.keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
        });
    }
    httplib::Server& server = *routes_->server;
    server.set_payload_max_length(kLargestRequestBody);
    // A reply's head and body go out as two writes: without this the body
    // waits for the client's delayed acknowledgement, some 40 ms a scrape.
    server.set_tcp_nodelay(true);
    server.set_read_timeout(kClientTimeoutSeconds, 0);
    server.set_write_timeout(kClientTimeoutSeconds, 0);
    server.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
        using Outcome = httplib::Server::HandlerResponse;
        if (!LetIn(request.remote_addr)) {
            response.status = 403;
            response.set_header("Connection", "close");
            return Outcome::Handled;
        }
        if (config_.users.empty() || auth_.Allows(request.get_header_value("Authorization"))) return Outcome::Unhandled;
        ++unauthorized_;
        response.status = 401;
        response.set_header("WWW-Authenticate", BasicAuth::kChallenge);
        return Outcome::Handled;
    });
    Route(std::move(snapshot), std::move(history));
}

void HttpServer::Route(SnapshotSource snapshot, HistorySource history) {
    httplib::Server& server = *routes_->server;
    server.Get("/metrics", [this, snapshot](const httplib::Request&, httplib::Response& response) {
        GatewaySnapshot now = snapshot();
        now.http = Statistics();
        response.set_content(MetricsText(now), kMetricsContentType);
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
    server.Get("/api/history", [this, history](const httplib::Request& request, httplib::Response& response) {
        AnswerHistory(*gateway_, history, request, response);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content(kStatusPage, "text/html; charset=utf-8");
    });
    // Read once: the page asks for it at every load. Without it the page
    // shows no charts and says why.
    server.Get("/static/chart.js", [script = ChartScript()](const httplib::Request&, httplib::Response& response) {
        if (script.empty()) {
            response.status = 404;
            response.set_content("no chart library: install libjs-chart.js", "text/plain");
            return;
        }
        response.set_header("Cache-Control", "max-age=86400");
        response.set_content(script, "text/javascript");
    });
}

HttpServer::~HttpServer() { Stop(); }

bool HttpServer::LetIn(const std::string& address) {
    if (config_.allow.Allows(address)) return true;
    ++refusedConnections_;
    refusals_.Refused(address.empty() ? "an unknown address" : address);
    return false;
}

HttpStatistics HttpServer::Statistics() const { return {refusedConnections_.load(), unauthorized_.load()}; }

bool HttpServer::Start(std::string* error) {
    httplib::Server& server = *routes_->server;
    if (!server.is_valid()) {
        *error = "http: cannot use " + config_.certFile + " and " + config_.keyFile + " for TLS";
        return false;
    }
    const bool bound = config_.port == 0 ? (port_ = server.bind_to_any_port(config_.listen)) > 0
                                         : server.bind_to_port(config_.listen, config_.port);
    if (!bound) {
        *error = "http: cannot listen on " + config_.listen + ":" + std::to_string(config_.port) + ": " +
                 std::strerror(errno);
        return false;
    }
    if (config_.port != 0) port_ = config_.port;
    const char* scheme = config_.certFile.empty() ? "http" : "https";
    Log(LogLevel::kInfo, std::string("http: listening on ") + config_.listen + ":" + std::to_string(port_) + " (" +
                             scheme + (config_.users.empty() ? "" : ", basic authentication") + ")");
    thread_ = std::thread([&server] { server.listen_after_bind(); });
    return true;
}

void HttpServer::Stop() {
    if (!thread_.joinable()) return;
    // A stop before the server thread got going would be lost.
    for (int i = 0; i < 1000 && !routes_->server->is_running(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    routes_->server->stop();
    thread_.join();
}

}  // namespace jwgate
