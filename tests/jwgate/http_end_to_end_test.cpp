// jwgate's HTTP endpoint from the outside: /metrics as promtool and a real
// Prometheus server read it, /healthz as a watchdog sees it, and the status
// page in headless Chromium (driven by tests/jwgate/status_page_check.py).
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "jwgate/free_port.h"
#include "jwgate/gateway_process.h"
#include "tools/jwsim/simulator.h"
#if JWGATE_TEST_MQTT
#include "jwgate/broker_process.h"
#endif

namespace jwgate::test {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;
constexpr milliseconds kHttpPatience {20000};

// count points: "level" 16-bit at MA0100 of station 01, "flow" at MA0104 of
// station 02, then copies of "level" named p3, p4, ... to make up count.
std::string Configuration(const std::string& port, int count, int intervalMs, const std::string& httpKeys) {
    const std::string interval = "\ninterval_ms = " + std::to_string(intervalMs) + "\n";
    std::string text = "[line]\nport = \"" + port + "\"\nlink_timeout_ms = 100\n[http]\nport = 0\n" + httpKeys +
                       "[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"" + interval +
                       "[[point]]\nname = \"flow\"\naddress = \"02MA0104\"\ntype = \"u16\"" + interval;
    for (int i = 3; i <= count; ++i) {
        text += "[[point]]\nname = \"p" + std::to_string(i) + "\"\naddress = \"01MA0100\"\ntype = \"u16\"" + interval;
    }
    return text;
}

// A certificate authority, a certificate for localhost and 127.0.0.1 signed
// by it, and a users file with "scraper" (password "secret"), made in dir;
// the [http] keys that use them.
std::string MakeTlsFiles(const std::string& dir) {
    const RunResult made = RunProgram(
        {"/bin/sh", "-c",
         "cd '" + dir + "' && openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 "
         "-subj /CN=test-ca && openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr "
         "-subj /CN=localhost && printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\\n' > san && "
         "openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem -days 2 "
         "-extfile san && htpasswd -cbB users scraper secret"},
        std::chrono::seconds(60));
    EXPECT_EQ(made.exitCode, 0) << made.errors;
    return "cert_file = \"" + dir + "/server.pem\"\nkey_file = \"" + dir + "/server.key\"\nusers_file = \"" + dir +
           "/users\"\n";
}

class GatewayHttp : public ::testing::Test {
protected:
    void Start(int points, int intervalMs, const std::string& httpKeys = "") {
        ASSERT_TRUE(simulator_.Start()) << simulator_.error();
        simulator_.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x34, 0x12}); });
        gateway_ = std::make_unique<GatewayProcess>(Configuration(simulator_.portName(), points, intervalMs, httpKeys));
        port_ = gateway_->HttpPort(kHttpPatience);
        ASSERT_GT(port_, 0) << gateway_->Log();
    }
    void TearDown() override {
        if (gateway_) {
            EXPECT_EQ(gateway_->Stop(SIGTERM, kHttpPatience), 0) << gateway_->Log();
        }
    }
    // The body of GET path once it answers with status; empty after the patience.
    std::string GetWhen(const std::string& path, int status) {
        httplib::Client client("127.0.0.1", port_);
        const auto until = Clock::now() + kHttpPatience;
        while (Clock::now() < until) {
            if (auto reply = client.Get(path.c_str()); reply && reply->status == status) return reply->body;
            std::this_thread::sleep_for(milliseconds(100));
        }
        return {};
    }

    kel::jwsim::Simulator simulator_ {{.stations = {1, 2}, .baud = 9600}};  // paced as the line's default rate
    std::unique_ptr<GatewayProcess> gateway_;
    int port_ = 0;
};

TEST_F(GatewayHttp, MetricsOfAThousandPointsPassPromtoolAndCarryTheValues) {
    Start(1000, 1000);
    std::string metrics;
    // Every point read once: the last one's value sample and the second
    // station's state are there.
    const auto read = [&] {
        return metrics.find("jwgate_point_value{point=\"p1000\"") != std::string::npos &&
               metrics.find("jwgate_station_up{station=\"02\"} 1\n") != std::string::npos;
    };
    const auto until = Clock::now() + kHttpPatience;
    while (!read() && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(100));
        metrics = GetWhen("/metrics", 200);
    }
    ASSERT_NE(metrics.find("jwgate_point_value{point=\"level\",address=\"01MA0100\"} 4660\n"), std::string::npos);
    EXPECT_NE(metrics.find("jwgate_station_up{station=\"02\"} 1\n"), std::string::npos);
    EXPECT_NE(metrics.find("jwgate_port_open 1\n"), std::string::npos);

    httplib::Client client("127.0.0.1", port_);
    const auto start = Clock::now();
    constexpr int kScrapes = 20;
    for (int i = 0; i < kScrapes; ++i) ASSERT_TRUE(client.Get("/metrics"));
    std::printf("/metrics of 1000 points: %zu bytes, %.2f ms a scrape\n", metrics.size(),
                std::chrono::duration<double, std::milli>(Clock::now() - start).count() / kScrapes);

    ScratchDirectory directory;
    const std::string file = directory.Write("metrics.txt", metrics);
    const RunResult check = RunProgram({"/bin/sh", "-c", "/usr/bin/promtool check metrics < '" + file + "'"}, kHttpPatience);
    EXPECT_EQ(check.exitCode, 0) << check.output << check.errors;
}

TEST_F(GatewayHttp, HealthTurnsUnavailableWhenTheLineFallsSilentAndBackWhenItAnswers) {
    Start(2, 200);
    // Healthy once a station answered; both are listed once both were read.
    nlohmann::json healthy;
    const auto until = Clock::now() + kHttpPatience;
    while (healthy["stations_answering"] != nlohmann::json({"01", "02"}) && Clock::now() < until) {
        healthy = nlohmann::json::parse(GetWhen("/healthz", 200), nullptr, false);
        if (!healthy.is_object()) healthy = nlohmann::json::object();
    }
    EXPECT_EQ(healthy["stations_answering"], nlohmann::json({"01", "02"}));
    EXPECT_EQ(healthy["status"], "ok");
    EXPECT_EQ(healthy["port_open"], true);

    simulator_.InjectFault(kel::jwsim::DefaultFault(kel::jwsim::FaultKind::kNoReply, 999999));
    const nlohmann::json failing = nlohmann::json::parse(GetWhen("/healthz", 503), nullptr, false);
    ASSERT_TRUE(failing.is_object()) << gateway_->Log();
    EXPECT_EQ(failing["status"], "failing");
    simulator_.ClearFaults();
    EXPECT_FALSE(GetWhen("/healthz", 200).empty());
}

// Over HTTPS with a users file: curl trusting only the test's authority
// gets 401 and the challenge without credentials or with a wrong password,
// the metrics with the right one; a client from an address not allowed
// (127.0.0.2) gets no answer at all.
TEST_F(GatewayHttp, HttpsAsksForCredentialsAndRefusesOtherAddresses) {
    ScratchDirectory directory;
    Start(2, 200, MakeTlsFiles(directory.path()) + "allow = [\"127.0.0.1\"]\n");
    const std::string url = "https://127.0.0.1:" + std::to_string(port_) + "/metrics";
    const auto curl = [&](const std::vector<std::string>& options) {
        std::vector<std::string> command = {"/usr/bin/curl", "-s", "-D", "-", "-o", "/dev/null", "--cacert",
                                            directory.path() + "/ca.pem"};
        command.insert(command.end(), options.begin(), options.end());
        command.push_back(url);
        return RunProgram(command, kHttpPatience);
    };
    const RunResult anonymous = curl({});
    EXPECT_EQ(anonymous.output.rfind("HTTP/1.1 401", 0), 0u) << anonymous.output << anonymous.errors;
    EXPECT_NE(anonymous.output.find("WWW-Authenticate: Basic realm=\"jwgate\""), std::string::npos) << anonymous.output;
    const RunResult wrong = curl({"-u", "scraper:secreT"});
    EXPECT_EQ(wrong.output.rfind("HTTP/1.1 401", 0), 0u) << wrong.output;
    const RunResult stranger = curl({"--interface", "127.0.0.2", "-u", "scraper:secret"});
    EXPECT_NE(stranger.exitCode, 0);
    EXPECT_EQ(stranger.output, "");
    const RunResult right = curl({"-u", "scraper:secret"});
    EXPECT_EQ(right.output.rfind("HTTP/1.1 200", 0), 0u) << right.output << right.errors;
    const RunResult counted = RunProgram({"/usr/bin/curl", "-s", "--cacert", directory.path() + "/ca.pem", "-u",
                                          "scraper:secret", url}, kHttpPatience);
    EXPECT_NE(counted.output.find("jwgate_http_unauthorized_total 2\n"), std::string::npos) << counted.output;
    EXPECT_NE(counted.output.find("jwgate_http_connections_refused_total 1\n"), std::string::npos) << counted.output;
    // The history asks for the same credentials: refused without, answered with them.
    const std::string history = "https://127.0.0.1:" + std::to_string(port_) + "/api/history?point=level";
    const auto historyAs = [&](const std::string& user) {
        return RunProgram({"/usr/bin/curl", "-s", "-w", " %{http_code}", "--cacert", directory.path() + "/ca.pem",
                           "-u", user, history}, kHttpPatience).output;
    };
    EXPECT_EQ(historyAs("scraper:wrong"), " 401");
    EXPECT_EQ(historyAs("scraper:secret"), R"({"error":"history needs a [store] in the configuration"} 404)");
    EXPECT_TRUE(gateway_->WaitForLog("http: refused a connection from 127.0.0.2", kHttpPatience)) << gateway_->Log();
}

// Prometheus itself scrapes the endpoint every second; the point's value is
// found through its query API.
TEST_F(GatewayHttp, APrometheusServerScrapesThePointValuesOverHttpsWithCredentials) {
    ScratchDirectory directory;
    Start(2, 200, MakeTlsFiles(directory.path()));
    const int prometheusPort = FreeTcpPort();
    const std::string config = directory.Write(
        "prometheus.yml", "global:\n  scrape_interval: 1s\nscrape_configs:\n  - job_name: jwgate\n    scheme: https\n"
                          "    tls_config:\n      ca_file: " + directory.path() + "/ca.pem\n"
                          "    basic_auth:\n      username: scraper\n      password: secret\n    static_configs:\n"
                          "      - targets: ['127.0.0.1:" + std::to_string(port_) + "']\n");
    BackgroundProcess prometheus({"/usr/bin/prometheus", "--config.file=" + config,
                                  "--storage.tsdb.path=" + directory.path() + "/data",
                                  "--web.listen-address=127.0.0.1:" + std::to_string(prometheusPort)});
    ASSERT_TRUE(prometheus.running());
    httplib::Client client("127.0.0.1", prometheusPort);
    std::string value;
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (value.empty() && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(500));
        const auto reply = client.Get("/api/v1/query?query=jwgate_point_value%7Bpoint%3D%22level%22%7D");
        if (!reply || reply->status != 200) continue;
        const nlohmann::json answer = nlohmann::json::parse(reply->body, nullptr, false);
        if (!answer.is_object() || answer["data"]["result"].empty()) continue;
        value = answer["data"]["result"][0]["value"][1].get<std::string>();
    }
    EXPECT_EQ(value, "4660") << prometheus.Errors();
}

// The page as the person commissioning a line sees it, over HTTPS with
// credentials: a value changed in
// the controller shows within two scan intervals, and a station that falls
// silent shows as not answering. The screenshot is kept as an artifact.
TEST_F(GatewayHttp, TheStatusPageFollowsTheLineInABrowser) {
    constexpr int kIntervalMs = 1000;
    ScratchDirectory directory;
    Start(2, kIntervalMs, MakeTlsFiles(directory.path()));
    // The browser trusts the test's server key alone, by the hash of its
    // public key, and sends the credentials with every request of the page.
    const RunResult spki = RunProgram(
        {"/bin/sh", "-c", "openssl x509 -in '" + directory.path() + "/server.pem' -pubkey -noout | openssl pkey -pubin "
                          "-outform der | openssl dgst -sha256 -binary | base64"}, kHttpPatience);
    ASSERT_EQ(spki.exitCode, 0) << spki.errors;
    const std::string ready = directory.path() + "/ready";
    const std::string command = std::string("/usr/bin/python3 ") + JWGATE_TEST_SOURCE_DIR +
                                "/status_page_check.py --basic-auth scraper:secret --trust-spki " + spki.output.substr(0, 44) +
                                " --url https://127.0.0.1:" + std::to_string(port_) +
                                "/ --point level --first 4660 --changed 4661 --within-ms " +
                                std::to_string(2 * kIntervalMs) + " --station 02 --ready-file " + ready +
                                " --screenshot " + JWGATE_ARTIFACT_DIR + "/status-page.png";
    std::FILE* browser = popen(command.c_str(), "w");
    ASSERT_NE(browser, nullptr);
    const auto until = Clock::now() + std::chrono::seconds(60);
    while (!std::ifstream(ready) && Clock::now() < until) std::this_thread::sleep_for(milliseconds(50));
    if (std::ifstream(ready)) {
        simulator_.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x35, 0x12}); });
        std::fputs("changed\n", browser);
        std::fflush(browser);
        simulator_.Silence(2, true);
        std::fputs("silenced\n", browser);
    }
    const int status = pclose(browser);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << gateway_->Log();
}

#if JWGATE_TEST_MQTT
// The values of "level" the history holds, oldest first, without the
// repeats of a held value or the gaps of a bad read.
std::vector<double> KeptValues(const std::string& body) {
    const nlohmann::json rows = nlohmann::json::parse(body, nullptr, false);
    std::vector<double> values;
    if (!rows.is_array()) return values;
    for (const auto& row : rows) {
        if (row["v"].is_number() && (values.empty() || values.back() != row["v"].get<double>())) {
            values.push_back(row["v"].get<double>());
        }
    }
    return values;
}

// Looking back at what a point did, as a person on the line does: the
// values the store kept come back from /api/history and are drawn in the
// page's trend and, after a click, in the point's own chart. The
// screenshot is kept as an artifact (docs/images/status-trend.png).
TEST_F(GatewayHttp, TheStatusPageDrawsAPointsHistoryFromTheStore) {
    BrokerProcess broker(BrokerProcess::FreePort());
    ASSERT_TRUE(broker.Start()) << broker.error();
    ScratchDirectory directory;
    ASSERT_TRUE(simulator_.Start()) << simulator_.error();
    simulator_.Edit(1, [](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {0x34, 0x12}); });
    gateway_ = std::make_unique<GatewayProcess>(
        "[line]\nport = \"" + simulator_.portName() + "\"\nlink_timeout_ms = 100\n[http]\nport = 0\n[mqtt]\nport = " +
        std::to_string(broker.port()) + "\nstatus_topic = \"jw/status\"\n[store]\npath = \"" + directory.path() +
        "/line.db\"\n[[point]]\nname = \"level\"\naddress = \"01MA0100\"\ntype = \"u16\"\ninterval_ms = 200\n"
        "mqtt_topic = \"jw/level\"\n");
    port_ = gateway_->HttpPort(kHttpPatience);
    ASSERT_GT(port_, 0) << gateway_->Log();
    const std::vector<double> wanted = {4660, 4661, 4662};
    for (const std::uint8_t low : {0x35, 0x36}) {
        std::this_thread::sleep_for(milliseconds(1500));
        simulator_.Edit(1, [low](kel::jwsim::Controller& c) { c.SetRegisters('A', 0100, {low, 0x12}); });
    }
    std::vector<double> kept;
    const auto until = Clock::now() + kHttpPatience;
    while (kept != wanted && Clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(200));
        kept = KeptValues(GetWhen("/api/history?point=level", 200));
    }
    ASSERT_EQ(kept, wanted) << gateway_->Log();
    // A client that asks wrongly hears why, in one JSON line.
    EXPECT_EQ(GetWhen("/api/history?point=flow", 404), R"({"error":"no point is named flow"})");
    EXPECT_EQ(GetWhen("/api/history?point=level&from=noon", 400),
              R"({"error":"from is not an ISO time with its zone, such as 2026-12-08T12:00:00Z"})");
    EXPECT_EQ(GetWhen("/api/history?point=level&limit=1&format=csv", 200).substr(0, 6), "t,v,q\n");
    // The store as a scraper, a watchdog and the page see it.
    const std::string metrics = GetWhen("/metrics", 200);
    for (const char* name : {"backlog_messages", "backlog_age_seconds", "dropped_total", "bytes", "replayed_total"}) {
        EXPECT_NE(metrics.find(std::string("\njwgate_store_") + name + " "), std::string::npos) << name;
    }
    EXPECT_TRUE(nlohmann::json::parse(GetWhen("/healthz", 200), nullptr, false)["backlog"].is_number());
    EXPECT_EQ(nlohmann::json::parse(GetWhen("/api/points", 200), nullptr, false)["store"]["persistent"], true);
    const RunResult browser = RunProgram(
        {"/usr/bin/python3", std::string(JWGATE_TEST_SOURCE_DIR) + "/status_trend_check.py", "--url",
         "http://127.0.0.1:" + std::to_string(port_) + "/", "--point", "level", "--values", "4660,4661,4662",
         "--range-s", "120", "--screenshot", std::string(JWGATE_ARTIFACT_DIR) + "/status-trend.png"},
        std::chrono::seconds(90));
    EXPECT_EQ(browser.exitCode, 0) << browser.errors << gateway_->Log();
}
#endif

}  // namespace
}  // namespace jwgate::test
