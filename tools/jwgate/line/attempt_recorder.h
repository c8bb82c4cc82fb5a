// Stands between the link and the line's statistics: keeps the outcome of
// the last attempt, so that the scan can tell a write's requester why it
// failed (the controller's status for a refusal), and passes every attempt
// and frame on. Used on the scan thread only.
#pragma once

#include <cstdint>

#include "link/link_context.h"

namespace jwgate {

class AttemptRecorder final : public kel::LinkObserver {
public:
    // Where attempts and frames go on to; may be null.
    void ForwardTo(kel::LinkObserver* next) { next_ = next; }

    void OnAttempt(kel::AttemptOutcome outcome, std::uint8_t status) override;
    void OnFrame(kel::FrameDirection direction, const char* bytes, int count) override;

    // Forgets the attempts so far.
    void Clear() { attempts_ = 0; }
    int attempts() const { return attempts_; }
    kel::AttemptOutcome last() const { return last_; }
    std::uint8_t lastStatus() const { return lastStatus_; }

private:
    kel::LinkObserver* next_ = nullptr;
    int attempts_ = 0;
    kel::AttemptOutcome last_ = kel::AttemptOutcome::kNoReply;
    std::uint8_t lastStatus_ = 0;
};

}  // namespace jwgate
