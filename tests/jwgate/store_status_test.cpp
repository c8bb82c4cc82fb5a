// The store as a scraper, a watchdog and the status page see it, from a
// server whose snapshot carries the store's statistics.
#include <gtest/gtest.h>

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <string>

#include "tools/jwgate/http/http_server.h"

namespace jwgate {
namespace {

TEST(StoreStatus, ShowsInTheMetricsTheHealthAndThePageDataOnlyWithAStore) {
    auto config = std::make_shared<GatewayConfig>();
    config->http.port = 0;
    const auto snapshot = [config](bool store) {
        GatewaySnapshot now;
        now.config = config;
        now.storeEnabled = store;
        if (store) now.store = {true, "/var/lib/jwgate/line1.db", 12, 3.5, 7, 65536, "the disk is full"};
        now.storeReplayed = store ? 40 : 0;
        return now;
    };
    HttpServer withStore(config, [&snapshot] { return snapshot(true); }, {});
    HttpServer withoutStore(config, [&snapshot] { return snapshot(false); }, {});
    std::string error;
    ASSERT_TRUE(withStore.Start(&error)) << error;
    ASSERT_TRUE(withoutStore.Start(&error)) << error;
    const auto get = [](const HttpServer& server, const char* path) {
        const auto reply = httplib::Client("127.0.0.1", server.port()).Get(path);
        return reply ? reply->body : std::string("(no answer)");
    };

    const std::string metrics = get(withStore, "/metrics");
    for (const char* sample : {"jwgate_store_backlog_messages 12\n", "jwgate_store_backlog_age_seconds 3.5\n",
                               "jwgate_store_dropped_total 7\n", "jwgate_store_bytes 65536\n",
                               "jwgate_store_replayed_total 40\n"}) {
        EXPECT_NE(metrics.find(sample), std::string::npos) << sample << metrics;
    }
    EXPECT_EQ(get(withoutStore, "/metrics").find("jwgate_store_"), std::string::npos);

    EXPECT_EQ(nlohmann::json::parse(get(withStore, "/healthz"), nullptr, false)["backlog"], 12);
    EXPECT_EQ(nlohmann::json::parse(get(withoutStore, "/healthz"), nullptr, false)["backlog"], 0);
    const nlohmann::json page = nlohmann::json::parse(get(withStore, "/api/points"), nullptr, false);
    EXPECT_EQ(page["store"], nlohmann::json({{"persistent", true}, {"backlog", 12}, {"backlog_age_s", 3.5},
                                             {"dropped", 7}, {"fault", "the disk is full"}}));
    EXPECT_TRUE(nlohmann::json::parse(get(withoutStore, "/api/points"), nullptr, false)["store"].is_null());
}

}  // namespace
}  // namespace jwgate
