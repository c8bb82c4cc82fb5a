#include "link/write_item.h"

#include <cstddef>

#include "host/host_log.h"
#include "link/exchange.h"
#include "protocol/frame.h"
#include "protocol/requests.h"
#include "protocol/text_codec.h"

namespace kel {
namespace {

constexpr ExchangeSteps kWriteSteps {};
constexpr ExchangeSteps kWriteModeSteps {.pauseBeforeSend = true, .pauseBeforeReply = true};

// Room for the GAS shown in the out-of-range message; a checked GAS has at
// most nine characters.
constexpr std::size_t kShownGasSize = 32;

// An upper-cased copy of the gate's address string, for messages only.
void ShownGas(const char* gas, char (&shown)[kShownGasSize]) {
    std::size_t n = 0;
    if (gas != nullptr) {
        for (; n + 1 < kShownGasSize && gas[n] != '\0'; ++n) shown[n] = UpcaseChar(gas[n]);
    }
    shown[n] = '\0';
}

bool KnownArea(std::int32_t area) { return area >= kAreaR && area <= kAreaM39; }

// The write request and its acknowledgement, then write mode off again if
// this attempt switched it on.
int SendWrite(LinkContext& line, const Request& request, std::int32_t station) {
    char reply[kReplyBufferSize];
    int length = 0;
    const ExchangeOutcome outcome = Exchange(line, request, kWriteSteps, reply, &length);
    if (!outcome.received) {
        HostLog(kLogWriteReply, "KELSRP: Can't read Write response");
        return outcome.result;
    }
    if (outcome.result != kLinkOk) {
        HostLog(kLogWriteReply, "KELSRP: Incorrect reply string to Write.");
        return kLinkMismatch;
    }
    if (!line.state.writeEnablePending) return kLinkOk;
    const int disabled = SetWriteMode(line, station, kWriteModeOff);
    if (disabled != kLinkOk) {
        HostLog(kLogInfo, "KELSRP: Write mode enable error %d", disabled);
        return kLinkMismatch;
    }
    line.state.writeEnablePending = false;
    return kLinkOk;
}

void LogOutOfRange(const char* gas) {
    char shown[kShownGasSize];
    ShownGas(gas, shown);
    HostLog(kLogInfo, "KELSRP: Write failed Value out of range. GAS=%s", shown);
}

int WriteAttempt(LinkContext& line, const Item& item, std::int32_t value, const char* gas) {
    // An area with no request form is answered by the gate-type message.
    if (KnownArea(item.area) && !ValidItem(item)) return kLinkMismatch;
    // A value the item cannot take sends nothing, not even the write-mode
    // switch.
    if (KnownArea(item.area) && !ValueFits(item, value)) {
        LogOutOfRange(gas);
        return kLinkMismatch;
    }
    if (line.state.writeEnablePending) {
        const int enabled = SetWriteMode(line, item.station, kWriteModeOn);
        if (enabled != kLinkOk) {
            HostLog(kLogInfo, "KELSRP: Write mode enable error %d", enabled);
            return enabled;
        }
    }
    if (!KnownArea(item.area)) {
        HostLog(kLogInfo, "KELSRP: Gate type not correct %d", item.area);
        return kLinkOk;
    }
    Request request;
    if (!BuildWriteRequest(item, value, &request)) return kLinkMismatch;  // checked above
    return SendWrite(line, request, item.station);
}

}  // namespace

int SetWriteMode(LinkContext& line, std::int32_t station, int mode) {
    char reply[kReplyBufferSize];
    int length = 0;
    const ExchangeOutcome outcome = Exchange(line, WriteModeRequest(station, mode), kWriteModeSteps, reply, &length);
    if (!outcome.received) return outcome.result;
    return outcome.result == kLinkOk ? kLinkOk : kLinkMismatch;
}

int WriteItem(LinkContext& line, const Item& item, std::int32_t value, const char* gas) {
    return Attempts(line, kMaxAttempts, [&] { return WriteAttempt(line, item, value, gas); });
}

}  // namespace kel
