// A "<topic>/set" payload as the MQTT side reads it: a bare number,
// true/false, or {"value": n, "id": anything}; anything else is no number,
// and an id is kept whatever the value.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tools/jwgate/mqtt/set_result.h"

namespace jwgate {
namespace {

struct Row {
    std::string payload;
    std::optional<double> value;
    nlohmann::json id;
};

TEST(SetRequest, EachPayloadReadsAsItsNumberAndId) {
    const Row rows[] = {
        {"42", 42, nullptr},
        {"-1.5", -1.5, nullptr},
        {" 7 \n", 7, nullptr},
        {"1e3", 1000, nullptr},
        {"true", 1, nullptr},
        {"false", 0, nullptr},
        {R"({"value": 21.5, "id": "ui-17"})", 21.5, "ui-17"},
        {R"({"id": 17, "value": -3})", -3, 17},
        {R"({"value": true})", 1, nullptr},
        {R"({"value": 5, "id": {"a": [1]}})", 5, nlohmann::json::parse(R"({"a": [1]})")},
        {R"({"value": 5, "id": null})", 5, nullptr},
        // Not a number: the id is still the request's.
        {R"({"id": "x"})", std::nullopt, "x"},
        {R"({"value": "5", "id": "x"})", std::nullopt, "x"},
        {R"({"value": null})", std::nullopt, nullptr},
        {R"({"value": {"value": 1}})", std::nullopt, nullptr},
        {R"({"value": [1]})", std::nullopt, nullptr},
        {R"("5")", std::nullopt, nullptr},
        {"[1]", std::nullopt, nullptr},
        {"null", std::nullopt, nullptr},
        {"", std::nullopt, nullptr},
        {"on", std::nullopt, nullptr},
        {"5 6", std::nullopt, nullptr},
        {"5,", std::nullopt, nullptr},
        {"0x10", std::nullopt, nullptr},
        {"nan", std::nullopt, nullptr},
        {R"({"value": 5)", std::nullopt, nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.payload);
        const SetRequest request = ParseSetRequest(row.payload);
        EXPECT_EQ(request.value, row.value);
        EXPECT_EQ(request.id, row.id);
    }
}

}  // namespace
}  // namespace jwgate
