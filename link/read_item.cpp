#include "link/read_item.h"

#include "link/exchange.h"
#include "protocol/replies.h"

namespace kel {
namespace {

int DecodeAttempt(const Item& item, const Request& request, const char* reply, int length, std::int32_t* value,
                  bool* delivered) {
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

int ReadItem(LinkContext& line, const Item& item, std::int32_t* value, bool* delivered, int attempts) {
    return Attempts(line, attempts, [&] {
        *delivered = false;
        return ReadAttempt(
            line, [&](Request* request) { return BuildReadRequest(item, request); },
            [&](const Request& request, const char* reply, int length) {
                return DecodeAttempt(item, request, reply, length, value, delivered);
            });
    });
}

}  // namespace kel
