#include "tools/jwgate/line/line_statistics.h"

#include "protocol/shown_frame.h"

namespace jwgate {

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

void LineStatistics::OnFrame(kel::FrameDirection direction, const char* bytes, int count) {
    if (!tracing_) return;
    LoggedFrame frame {WallClock::now(), direction == kel::FrameDirection::kSent, kel::ShownFrame(bytes, count)};
    const std::lock_guard<std::mutex> lock(mutex_);
    frames_.push_back(std::move(frame));
    if (frames_.size() > kFramesKept) frames_.pop_front();
}

LineStatistics::Snapshot LineStatistics::Take() const {
    const std::lock_guard<std::mutex> lock(mutex_);
    return {attempts_, scans_, {frames_.begin(), frames_.end()}};
}

}  // namespace jwgate
