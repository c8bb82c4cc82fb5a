#include "jwgate/stepped_line.h"

#include <algorithm>
#include <fstream>
#include <vector>

namespace jwgate::test {

bool SteppedLine::Start() {
    if (!simulator_.Start()) return false;
    record_ = std::fopen(recordPath_.c_str(), "w");
    if (record_ == nullptr) return false;
    stepper_ = std::make_unique<kel::jwsim::Stepper>(
        simulator_, std::vector<kel::jwsim::StepSchedule> {{"01MA0100", kStepPeriod}}, record_);
    thread_ = std::thread([this] {
        using Clock = kel::jwsim::Stepper::Clock;
        while (!stop_) {
            std::this_thread::sleep_until(std::min(stepper_->NextDue(), Clock::now() + std::chrono::milliseconds(50)));
            stepper_->StepDue(Clock::now());
        }
    });
    return true;
}

void SteppedLine::StopStepping() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (record_ != nullptr) std::fclose(record_);
    record_ = nullptr;
}

std::map<long long, std::int64_t> SteppedLine::Steps() const {
    std::map<long long, std::int64_t> steps;
    std::ifstream in(recordPath_);
    long long micros = 0;
    std::string gate;
    long long value = 0;
    while (in >> micros >> gate >> value) steps[value] = micros / 1000;
    return steps;
}

}  // namespace jwgate::test
