#include "link/read_item.h"

#include "link/exchange.h"
#include "protocol/frame.h"
#include "protocol/replies.h"
#include "protocol/requests.h"

namespace kel {
namespace {

int ReadAttempt(Line& line, const Item& item, std::int32_t* value, bool* delivered) {
    *delivered = false;
    Request request;
    if (!BuildReadRequest(item, &request)) return kLinkMismatch;
    char reply[kReplyBufferSize];
    int length = 0;
    const ExchangeOutcome outcome = Exchange(line, request, kReadSteps, reply, &length);
    if (outcome.result != kLinkOk) return outcome.result;
    switch (DecodeReadReply(item, request, reply, length, value)) {
        case ReadData::kValue:
            *delivered = true;
            return kLinkOk;
        case ReadData::kWithheld:
            return kLinkOk;
        case ReadData::kTooShort:
            break;
    }
    return kLinkMismatch;
}

}  // namespace

int ReadItem(Line& line, const Item& item, std::int32_t* value, bool* delivered) {
    return Attempts([&] { return ReadAttempt(line, item, value, delivered); });
}

}  // namespace kel
