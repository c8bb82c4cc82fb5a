#include "link/exchange.h"

#include <cstdint>

#include "host/configuration.h"
#include "host/host_log.h"
#include "link/reply_pairing.h"
#include "protocol/frame.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

void WaitReplyTime() { Pause(static_cast<std::uint32_t>(GetReplyWaitTime())); }

int Judge(Line& line, const ReplyCheck& check) {
    switch (check.verdict) {
        case ReplyVerdict::kAccepted:
            return kLinkOk;
        case ReplyVerdict::kMismatch:
            return kLinkMismatch;
        case ReplyVerdict::kWriteModeRequired:
            line.writeEnablePending = true;
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

}  // namespace

ExchangeOutcome Exchange(Line& line, const Request& request, ExchangeSteps steps, char* reply, int* length) {
    if (steps.pauseBeforeSend) WaitReplyTime();
    const int sent = SendRequest(line, request);
    if (sent != kLinkOk && steps.sendFailureEnds) return {sent, false};
    if (steps.pauseBeforeReply) WaitReplyTime();
    const int received = AwaitReply(line, request, reply, length);
    if (received != kLinkOk) return {received, false};
    return {Judge(line, CheckReply(reply, request.payload, *length)), true};
}

}  // namespace kel
