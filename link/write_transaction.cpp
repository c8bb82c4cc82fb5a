#include "link/write_transaction.h"

#include <cstring>

#include "driver/configuration.h"
#include "driver/host_log.h"
#include "link/controller_areas.h"
#include "link/frame.h"
#include "link/read_transaction.h"
#include "link/reply_buffers.h"
#include "link/reply_pairing.h"
#include "link/text_codec.h"
#include "link/value_cell.h"
#include "serial/serial_platform.h"

namespace kel {
namespace {

// "WRG", its fields and four data bytes.
constexpr int kMaxWritePayload = 17 + 2 * 4;
// Room for the GAS shown in the out-of-range message; a checked GAS has at
// most nine characters.
constexpr std::size_t kShownGasSize = 32;

// Byte count of a register write: 1 for 8-bit gates, else by value type.
int WriteByteCount(const GateRequest& request) {
    if (request.address.widthBits == 8) return 1;
    switch (request.valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT: return 2;
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT: return 4;
        default: return 0;
    }
}

// Requests that cannot be written as one item are refused before anything
// goes on the line: an areaKind with no request form (2), a value type that
// carries no value, a station or item outside its area, a register write
// without data, and a last byte past the end of the area.
bool WritableGate(const GateRequest& request) {
    const GateAddress& gate = request.address;
    if (gate.areaKind > AreaM39 || gate.areaKind < 0) return true;  // answered by the gate-type message
    const std::int32_t items = AreaItemCount(gate.areaKind);
    if (items == 0) return false;
    std::int32_t value = 0;
    if (request.value == nullptr || !TakeWriteValue(request.valueType, request.value, &value)) return false;
    if (gate.station < 0 || gate.station > 63 || gate.address < 0 || gate.address >= items) return false;
    if (!IsRegisterArea(gate.areaKind)) return true;
    const int bytes = WriteByteCount(request);
    return bytes != 0 && gate.address + bytes <= items;
}

// A relay or a timer contact is set with one character, "0" or "1": any
// other value would go out as a character no controller understands. An
// 8-bit register takes one byte; a larger value would be cut.
bool FitsGate(const GateRequest& request, std::int32_t value) {
    const std::int32_t areaKind = request.address.areaKind;
    if (IsRelayArea(areaKind) || areaKind == AreaT) return value == 0 || value == 1;
    if (IsRegisterArea(areaKind) && WriteByteCount(request) == 1) return value >= 0 && value <= 255;
    return true;
}

// An upper-cased copy of the gate's address string, for messages only.
void ShownGas(const char* gas, char (&shown)[kShownGasSize]) {
    std::size_t n = 0;
    if (gas != nullptr) {
        for (; n + 1 < kShownGasSize && gas[n] != '\0'; ++n) shown[n] = UpcaseChar(gas[n]);
    }
    shown[n] = '\0';
}

// Data bytes, least significant first, each as two upper-case hex digits.
void FormatData(std::uint32_t value, int bytes, char* out) {
    constexpr char kHex[] = "0123456789ABCDEF";
    for (int i = 0; i < bytes; ++i) {
        const std::uint32_t byte = (value >> (8 * i)) & 0xFFu;
        out[2 * i] = kHex[byte >> 4];
        out[2 * i + 1] = kHex[byte & 0xFu];
    }
}

// The request payload for a writable gate of areaKind 0 to 9; its length, or
// 0 when an address has no wire form.
int BuildWritePayload(const GateRequest& request, std::int32_t value, char* payload) {
    const GateAddress& gate = request.address;
    const char valueChar = static_cast<char>(0x30 + (static_cast<std::uint32_t>(value) & 0xFFu));
    if (IsRelayArea(gate.areaKind)) {
        FormatRequestHead(gate.station, "SRR", payload);
        payload[12] = valueChar;
        return FormatRelayField(gate.areaKind, gate.address, payload + 7) ? 13 : 0;
    }
    if (gate.areaKind == AreaT) {
        FormatRequestHead(gate.station, "SRT", payload);
        char octal[kOctalAddressSize];
        FormatOctalAddress(gate.address, octal);
        std::memcpy(payload + 7, octal, 4);
        payload[11] = valueChar;
        return 12;
    }
    const int bytes = WriteByteCount(request);
    FormatRequestHead(gate.station, "WRG", payload);
    payload[7] = RegisterAreaChar(gate.areaKind);
    payload[12] = payload[7];
    const bool formatted = FormatRegisterAddress(gate.areaKind, gate.address, payload + 8) &&
                           FormatRegisterAddress(gate.areaKind, gate.address + bytes - 1, payload + 13);
    FormatData(static_cast<std::uint32_t>(value), bytes, payload + 17);
    return formatted ? 17 + 2 * bytes : 0;
}

void WaitForReply() { ActiveSerialPlatform().Sleep(static_cast<std::uint32_t>(GetReplyWaitTime())); }

}  // namespace

int SetWriteMode(DriverState* state, const GateRequest* request, int mode) {
    char payload[8];
    FormatRequestHead(request->address.station, "EWR", payload);
    payload[7] = static_cast<char>('0' + mode);
    WaitForReply();
    SendRequest(state, payload, sizeof payload);
    WaitForReply();
    int length = 0;
    const int received =
        AwaitReply(state, payload, sizeof payload, kRequestHeadLength, WriteModeReplyBuffer, &length);
    if (received != kFrameOk) return received;
    return CheckReply(state, WriteModeReplyBuffer, payload, length) == kFrameOk ? 0 : 1;
}

int WriteAttempt(DriverState* state, const GateRequest* request) {
    if (!WritableGate(*request)) return KEL_REFUSED;
    char shown[kShownGasSize];
    ShownGas(request->gas, shown);
    const GateAddress& gate = request->address;

    if (state->WriteEnablePending != 0) {
        const int enabled = SetWriteMode(state, request, kWriteModeOn);
        if (enabled != 0) {
            HostLog(kLogInfo, "KELSRP: Write mode enable error %d", enabled);
            return enabled;
        }
    }
    if (gate.areaKind > AreaM39 || gate.areaKind < 0) {
        HostLog(kLogInfo, "KELSRP: Gate type not correct %d", gate.areaKind);
        return KEL_OK;
    }
    std::int32_t value = 0;
    TakeWriteValue(request->valueType, request->value, &value);
    if (!FitsGate(*request, value)) {
        HostLog(kLogInfo, "KELSRP: Write failed Value out of range. GAS=%s", shown);
        return KEL_REFUSED;
    }

    char payload[kMaxWritePayload];
    const int length = BuildWritePayload(*request, value, payload);
    if (length == 0) return KEL_REFUSED;  // the gate checks above leave no such address
    SendRequest(state, payload, length);  // a frame that did not go out shows as no reply
    int replyLength = 0;
    const int received =
        AwaitReply(state, payload, length, kRequestHeadLength, WriteReplyBuffer, &replyLength);
    if (received != kFrameOk) {
        HostLog(kLogWriteReply, "KELSRP: Can't read Write response");
        return received;
    }
    if (CheckReply(state, WriteReplyBuffer, payload, replyLength) != kFrameOk) {
        HostLog(kLogWriteReply, "KELSRP: Incorrect reply string to Write.");
        return KEL_REFUSED;
    }
    if (state->WriteEnablePending == 0) return KEL_OK;
    const int disabled = SetWriteMode(state, request, kWriteModeOff);
    if (disabled != 0) {
        HostLog(kLogInfo, "KELSRP: Write mode enable error %d", disabled);
        return KEL_REFUSED;
    }
    state->WriteEnablePending = 0;
    return KEL_OK;
}

std::int32_t WriteGate(KelRequest* request) {
    const auto* block = static_cast<const GateRequest*>(request->block);
    int outcome = KEL_REFUSED;
    for (int attempt = 0; attempt < kMaxAttempts; ++attempt) {
        outcome = WriteAttempt(request->state, block);
        if (outcome == KEL_OK) break;
    }
    return outcome;
}

std::int32_t WriteMarkedGate(KelRequest* request) {
    auto* block = static_cast<GateRequest*>(request->block);
    if (block->address.marker != 255) return KEL_OK;
    block->count = 1;
    return WriteGate(request);
}

}  // namespace kel
