#include "tools/jwsim/stepper.h"

#include <cctype>
#include <utility>

#include "tools/jwsim/memory_file.h"

namespace kel::jwsim {
namespace {

constexpr long long kMaxPeriodMs = 86400000;
constexpr long long kTwoBytes = 0xFFFF;  // a register counter stays in its two bytes

}  // namespace

std::string ParseStep(const std::string& text, StepSchedule* step) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos) return "step " + text + ": expected GATE:PERIOD_MS";
    const std::string gate = text.substr(0, colon);
    const std::string digits = text.substr(colon + 1);
    if (digits.empty() || digits.size() > 8 || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::stoll(digits) == 0 || std::stoll(digits) > kMaxPeriodMs) {
        return "step " + text + ": PERIOD_MS must be 1 to 86400000";
    }
    int station = 0;
    std::function<void(Controller&)> change;
    const std::string reason = ItemChange(gate, "0", &station, &change);
    if (!reason.empty()) return "step " + text + ": " + reason;
    step->gate = gate;
    for (char& c : step->gate) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    step->period = std::chrono::milliseconds(std::stoll(digits));
    return {};
}

Stepper::Stepper(Simulator& simulator, std::vector<StepSchedule> steps, std::FILE* record,
                 std::chrono::milliseconds delay)
    : simulator_(simulator), record_(record) {
    const Clock::time_point start = Clock::now() + delay;
    for (StepSchedule& step : steps) {
        const auto period = step.period;
        counters_.push_back({std::move(step), 0, start + period});
    }
}

Stepper::Clock::time_point Stepper::NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    for (const Counter& counter : counters_) next = std::min(next, counter.due);
    return next;
}

void Stepper::StepDue(Clock::time_point now) {
    for (Counter& counter : counters_) {
        if (counter.due > now) continue;
        // A late wake takes one step, and the schedule keeps its phase.
        while (counter.due <= now) counter.due += counter.schedule.period;
        int station = 0;
        std::function<void(Controller&)> change;
        long long next = counter.value + 1;
        if (next > kTwoBytes || !ItemChange(counter.schedule.gate, std::to_string(next), &station, &change).empty()) {
            next = 0;
            ItemChange(counter.schedule.gate, "0", &station, &change);
        }
        if (!simulator_.Edit(station, change)) continue;  // a station not served: nothing to step
        counter.value = next;
        if (record_ == nullptr) continue;
        const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        std::fprintf(record_, "%lld %s %lld\n", static_cast<long long>(micros.count()), counter.schedule.gate.c_str(),
                     next);
        std::fflush(record_);
    }
}

}  // namespace kel::jwsim
