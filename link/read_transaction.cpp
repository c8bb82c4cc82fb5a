#include "link/read_transaction.h"

#include <cstring>

#include "driver/configuration.h"
#include "link/controller_areas.h"
#include "link/frame.h"
#include "link/reply_buffers.h"
#include "link/reply_pairing.h"
#include "link/text_codec.h"
#include "link/value_cell.h"
#include "serial/serial_platform.h"

namespace kel {
namespace {

// The longest read payload: an "MRG" request.
constexpr int kMaxReadPayload = 17;

int ByteCount(std::int32_t widthBits) {
    switch (widthBits) {
        case 8: return 1;
        case 16: return 2;
        case 32: return 4;
        default: return 0;
    }
}

// Builds the request; 0 when the gate cannot be read: an areaKind no check
// produces, a station or item outside its area, a register gate without a
// width, or a last byte past the end of its area (which would address an
// item of another area or wrap under the "9" rule).
int BuildReadPayload(const GateAddress& gate, char* payload) {
    const std::int32_t items = AreaItemCount(gate.areaKind);
    if (items == 0 || gate.station < 0 || gate.station > 63) return 0;
    if (gate.address < 0 || gate.address >= items) return 0;
    char octal[kOctalAddressSize];

    if (IsRelayArea(gate.areaKind)) {
        FormatRequestHead(gate.station, "MRL", payload);
        return FormatRelayField(gate.areaKind, gate.address, payload + 7) ? 12 : 0;
    }
    if (gate.areaKind == AreaT) {
        // One number: the value cell has room for one value only.
        FormatRequestHead(gate.station, "MTC", payload);
        FormatOctalAddress(gate.address, octal);
        std::memcpy(payload + 7, octal, 4);
        std::memcpy(payload + 11, octal, 4);
        return 15;
    }
    const int bytes = ByteCount(gate.widthBits);
    if (bytes == 0 || gate.address + bytes > items) return 0;
    FormatRequestHead(gate.station, "MRG", payload);
    payload[7] = RegisterAreaChar(gate.areaKind);
    payload[12] = payload[7];
    const bool formatted = FormatRegisterAddress(gate.areaKind, gate.address, payload + 8) &&
                           FormatRegisterAddress(gate.areaKind, gate.address + bytes - 1, payload + 13);
    return formatted ? 17 : 0;
}

// Number of data characters the reply must carry after the request's fields.
int DataLength(const GateAddress& gate) {
    if (IsRelayArea(gate.areaKind)) return 1;
    if (gate.areaKind == AreaT) return 6;  // four value characters, one item
    return 2 * ByteCount(gate.widthBits);
}

int Digit(char c) { return static_cast<unsigned char>(c) - '0'; }

// Timer and counter values: the first pair of characters holds tens and
// units, the second thousands and hundreds, and of the thousands character
// only the lowest bit counts.
bool DecodeTimerCounter(const char* data, std::int32_t number, std::int32_t* result) {
    const auto c2 = static_cast<unsigned char>(data[2]);
    const std::int32_t value =
        (1000 * (c2 & 1) + 100 * Digit(data[3]) + 10 * Digit(data[0]) + Digit(data[1])) & 0xFFFF;
    const char type = data[5];
    // Type "4" is a timer (tenths below number 192, hundredths from there on),
    // "2" a counter; both carry the value as it stands.
    if (type == '4' || (type == '2' && number <= 255)) {
        *result = value;
        return true;
    }
    return false;
}

}  // namespace

int ReadAttempt(KelRequest* request, std::int32_t* result, bool* delivered) {
    *delivered = false;
    DriverState* state = request->state;
    const auto* block = static_cast<const GateRequest*>(request->block);
    const GateAddress& gate = block->address;

    char payload[kMaxReadPayload];
    const int length = BuildReadPayload(gate, payload);
    if (length == 0) return kFrameMismatch;

    const int sent = SendRequest(state, payload, length);
    if (sent != kFrameOk) return sent;
    ActiveSerialPlatform().Sleep(static_cast<std::uint32_t>(GetReplyWaitTime()));
    int replyLength = 0;
    const int received = AwaitReply(state, payload, length, length, ReadReplyBuffer, &replyLength);
    if (received != kFrameOk) return received;
    const int checked = CheckReply(state, ReadReplyBuffer, payload, replyLength);
    if (checked != kFrameOk) return checked;

    // A reply too short for its data would leave an earlier reply's bytes in
    // the data positions: it is not this request's answer.
    if (length + DataLength(gate) > replyLength - 3) return kFrameMismatch;
    const char* data = ReadReplyBuffer + length;
    if (IsRelayArea(gate.areaKind)) {
        *result = Digit(data[0]);
        *delivered = true;
    } else if (gate.areaKind == AreaT) {
        *delivered = DecodeTimerCounter(data, gate.address, result);
    } else {
        *result = static_cast<std::int32_t>(HexValue(data, ByteCount(gate.widthBits)));
        *delivered = true;
    }
    return kFrameOk;
}

std::int32_t ReadGate(KelRequest* request) {
    const auto* block = static_cast<const GateRequest*>(request->block);
    int outcome = kFrameFailed;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        std::int32_t value = 0;
        bool delivered = false;
        outcome = ReadAttempt(request, &value, &delivered);
        if (outcome == kFrameOk) {
            if (delivered && block->value != nullptr) StoreReadValue(block->valueType, block->value, value);
            return KEL_OK;
        }
    }
    return outcome;
}

}  // namespace kel
