#include "tools/jwgate/line/line_statistics.h"

#include "host/line_trace.h"
#include "protocol/shown_frame.h"

namespace jwgate {

LineStatistics::~LineStatistics() { StopTracing(); }

void LineStatistics::OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) {
    const std::lock_guard<std::mutex> lock(mutex_);
    switch (outcome) {
        case kel::AttemptOutcome::kAnswered:
            ++attempts_.answered;
            attempts_.everAnswered = true;
            attempts_.lastAnswer = Clock::now();
            break;
        case kel::AttemptOutcome::kNoReply: ++attempts_.noReply; break;
        case kel::AttemptOutcome::kDamaged: ++attempts_.damaged; break;
        case kel::AttemptOutcome::kRefused:
            // A refusal is an answer too: the station is there.
            ++attempts_.refused[status];
            attempts_.everAnswered = true;
            attempts_.lastAnswer = Clock::now();
            break;
    }
}

void LineStatistics::AddScan(double seconds) {
    const std::lock_guard<std::mutex> lock(mutex_);
    scans_.Add(seconds);
}

void LineStatistics::TraceFrames() {
    tracing_ = true;
    kel::SetLineTrace(&LineStatistics::Trace, this);
}

void LineStatistics::StopTracing() {
    if (!tracing_) return;
    kel::SetLineTrace(nullptr, nullptr);
    tracing_ = false;
}

void LineStatistics::Trace(void* self, std::int32_t direction, const char* bytes, std::int32_t count) {
    auto& statistics = *static_cast<LineStatistics*>(self);
    LoggedFrame frame {WallClock::now(), direction == kel::kTraceSent, kel::ShownFrame(bytes, count)};
    const std::lock_guard<std::mutex> lock(statistics.mutex_);
    statistics.frames_.push_back(std::move(frame));
    if (statistics.frames_.size() > kFramesKept) statistics.frames_.pop_front();
}

LineStatistics::Snapshot LineStatistics::Take() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {attempts_, scans_, {frames_.begin(), frames_.end()}};
}

}  // namespace jwgate
