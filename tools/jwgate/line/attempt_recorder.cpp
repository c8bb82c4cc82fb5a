#include "tools/jwgate/line/attempt_recorder.h"

namespace jwgate {

void AttemptRecorder::OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) {
    ++attempts_;
    last_ = outcome;
    lastStatus_ = status;
    if (next_ != nullptr) next_->OnAttempt(outcome, status);
}

void AttemptRecorder::OnFrame(kel::FrameDirection direction, const char* bytes, int count) {
    if (next_ != nullptr) next_->OnFrame(direction, bytes, count);
}

}  // namespace jwgate
