// The simulator, paced at 19200 baud, with a counter at 01MA0100 of station
// 01 stepped by the simulator's own stepper (as jwsim --step does), each step
// recorded with its wall-clock time (as --step-record does).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "tools/jwsim/simulator.h"
#include "tools/jwsim/stepper.h"

namespace jwgate::test {

class SteppedLine {
public:
    static constexpr auto kStepPeriod = std::chrono::milliseconds(250);

    // record: the file the steps are written to.
    explicit SteppedLine(std::string record) : recordPath_(std::move(record)) {}
    ~SteppedLine() { StopStepping(); }

    bool Start();
    void StopStepping();
    // When each value was set, in ms since the epoch.
    std::map<long long, std::int64_t> Steps() const;
    std::string devicePath() const { return simulator_.devicePath(); }

private:
    kel::jwsim::Simulator simulator_ {{.baud = 19200}};
    std::string recordPath_;
    std::FILE* record_ = nullptr;
    std::unique_ptr<kel::jwsim::Stepper> stepper_;
    std::atomic<bool> stop_ {false};
    std::thread thread_;
};

}  // namespace jwgate::test
