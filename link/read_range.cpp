#include "link/read_range.h"

#include "link/exchange.h"

namespace kel {

int ReadRange(LinkContext& line, const ItemRange& range, RangeValues* values, int attempts) {
    return Attempts(line, attempts, [&] {
        return ReadAttempt(
            line, [&](Request* request) { return BuildRangeReadRequest(range, request); },
            [&](const Request& request, const char* reply, int length) {
                return DecodeRangeReply(range, request, reply, length, values) ? kLinkOk : kLinkMismatch;
            });
    });
}

}  // namespace kel
