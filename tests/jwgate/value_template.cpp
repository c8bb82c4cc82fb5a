#include "jwgate/value_template.h"

#include <gtest/gtest.h>

#include <chrono>

#include "jwgate/gateway_process.h"

namespace jwgate::test {

std::string RenderedValueTemplate(const std::string& valueTemplate, const std::string& payload) {
    const RunResult result = RunProgram(
        {"/usr/bin/python3", JWGATE_TEST_SOURCE_DIR "/render_value_template.py", valueTemplate, payload},
        std::chrono::milliseconds(10000));
    EXPECT_EQ(result.exitCode, 0) << result.errors;
    return result.output;
}

}  // namespace jwgate::test
