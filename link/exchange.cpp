#include "link/exchange.h"

#include "host/host_log.h"
#include "link/reply_pairing.h"
#include "protocol/frame.h"

namespace kel {
namespace {

void WaitReplyTime(const LinkContext& link) { PauseUnlessStopped(link, link.settings().replyPauseMs); }

int Judge(LinkContext& line, const ReplyCheck& check) {
    switch (check.verdict) {
        case ReplyVerdict::kAccepted:
            return kLinkOk;
        case ReplyVerdict::kMismatch:
            return kLinkMismatch;
        case ReplyVerdict::kWriteModeRequired:
            line.state.writeEnablePending = true;
            ++line.state.writeModeRequests;
            return kLinkMismatch;
        case ReplyVerdict::kRefused:
            if (IsDocumentedErrorStatus(check.status)) {
                HostLog(kLogInfo, "KELSRP : Status Error: STS = %x", static_cast<unsigned int>(check.status));
            }
            return kLinkFailed;
        case ReplyVerdict::kInvalid:
            break;
    }
    return kLinkFailed;
}

AttemptOutcome OutcomeOf(const ReplyCheck& check) {
    switch (check.verdict) {
        case ReplyVerdict::kAccepted:
        case ReplyVerdict::kWriteModeRequired: return AttemptOutcome::kAnswered;
        case ReplyVerdict::kRefused: return AttemptOutcome::kRefused;
        case ReplyVerdict::kMismatch:
        case ReplyVerdict::kInvalid: break;
    }
    return AttemptOutcome::kDamaged;
}

void Report(const LinkContext& line, AttemptOutcome outcome, std::uint8_t status = 0) {
    if (line.hooks.observer != nullptr && !line.Stopped()) line.hooks.observer->OnAttempt(outcome, status);
}

}  // namespace

ExchangeOutcome Exchange(LinkContext& line, const Request& request, ExchangeSteps steps, char* reply, int* length) {
    if (steps.pauseBeforeSend) WaitReplyTime(line);
    if (line.Stopped()) return {kLinkFailed, false};
    const int sent = SendRequest(line, request);
    // A stop while the request waited for its gap sent nothing to wait for.
    if (sent != kLinkOk && (steps.sendFailureEnds || line.Stopped())) {
        line.state.exchangeEnded = LinkClock::now();
        return {sent, false};
    }
    if (steps.pauseBeforeReply) WaitReplyTime(line);
    const int received = AwaitReply(line, request, reply, length);
    line.state.exchangeEnded = LinkClock::now();
    if (received != kLinkOk) {
        // A reply that broke off leaves the link to resynchronise.
        Report(line, line.state.resync ? AttemptOutcome::kDamaged : AttemptOutcome::kNoReply);
        return {received, false};
    }
    const ReplyCheck check = CheckReply(reply, request.payload, *length);
    Report(line, OutcomeOf(check),
           check.verdict == ReplyVerdict::kRefused ? static_cast<std::uint8_t>(check.status) : std::uint8_t {0});
    return {Judge(line, check), true};
}

}  // namespace kel
