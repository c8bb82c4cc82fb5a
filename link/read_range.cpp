#include "link/read_range.h"

#include "link/exchange.h"
#include "protocol/frame.h"

namespace kel {
namespace {

int RangeAttempt(Line& line, const ItemRange& range, RangeValues* values) {
    Request request;
    if (!BuildRangeReadRequest(range, &request)) return kLinkMismatch;
    char reply[kReplyBufferSize];
    int length = 0;
    const ExchangeOutcome outcome = Exchange(line, request, kReadSteps, reply, &length);
    if (outcome.result != kLinkOk) return outcome.result;
    return DecodeRangeReply(range, request, reply, length, values) ? kLinkOk : kLinkMismatch;
}

}  // namespace

int ReadRange(Line& line, const ItemRange& range, RangeValues* values) {
    return Attempts([&] { return RangeAttempt(line, range, values); });
}

}  // namespace kel
