#include "tools/jwsim/protocol.h"

#include <string_view>

#include "protocol/areas.h"
#include "protocol/frame.h"
#include "protocol/shown_frame.h"
#include "protocol/text_codec.h"

namespace kel::jwsim {
namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";
// Extra characters of an over-long reply: past any reply buffer of 600.
constexpr std::size_t kOverLongPadding = 800;

bool IsOctal(char c) { return c >= '0' && c <= '7'; }
// Checksum and data digits are upper-case: HexByte alone would also turn
// ":" or "a" into a number.
bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }
bool IsFileArea(char area) { return area >= '0' && area <= '3'; }

std::string HexPair(std::uint8_t value) { return {kHexDigits[value >> 4], kHexDigits[value & 0xF]}; }

// Octal value of text, or -1 if a character is not an octal digit.
int Octal(std::string_view text) {
    int value = 0;
    for (const char c : text) {
        if (!IsOctal(c)) return -1;
        value = value * 8 + (c - '0');
    }
    return value;
}

struct Relay {
    bool rt = false;
    int number = 0;
};

// Five octal digits, or "T" and four; 0 or a status.
std::uint8_t ParseRelay(std::string_view field, Relay* relay) {
    relay->rt = field[0] == 'T';
    relay->number = Octal(relay->rt ? field.substr(1) : field);
    const int count = relay->rt ? kRtRelayCount : kRelayCount;
    return relay->number < 0 || relay->number >= count ? kStatusAddressError : 0;
}

// Four octal digits naming a timer or counter; 0 or a status.
std::uint8_t ParseTimer(std::string_view field, int* number) {
    *number = Octal(field);
    return *number < 0 || *number >= kTimerCount ? kStatusAddressError : 0;
}

struct RegisterRange {
    char area = 'A';
    int first = 0;
    int last = 0;
    int Count() const { return last - first + 1; }
};

// An area character and four digits; file registers carry "9" and three
// octal digits.
int RegisterByte(std::string_view field, char area) {
    if (IsFileArea(area)) return field[1] == '9' ? Octal(field.substr(2, 3)) : -1;
    return Octal(field.substr(1, 4));
}

// area first area last (ten characters); 0 or a status.
std::uint8_t ParseRegisterRange(std::string_view fields, RegisterRange* range) {
    range->area = fields[0];
    const int size = Controller::RegisterAreaSize(range->area);
    if (size == 0 || fields[5] != range->area) return kStatusAddressError;
    range->first = RegisterByte(fields.substr(0, 5), range->area);
    range->last = RegisterByte(fields.substr(5, 5), range->area);
    if (range->first < 0 || range->last < 0 || range->last >= size || range->first > range->last) {
        return kStatusAddressError;
    }
    return 0;
}

class Responder {
public:
    Responder(const std::string& payload, Controller& controller)
        : payload_(payload), fields_(std::string_view(payload).substr(7)), controller_(controller) {}

    std::string Reply() {
        const std::string_view mnemonic = std::string_view(payload_).substr(4, 3);
        if (mnemonic == "MRL") return Mrl();
        if (mnemonic == "MTC") return Mtc();
        if (mnemonic == "MRG") return Mrg();
        if (mnemonic == "SRR") return Srr();
        if (mnemonic == "SRT") return Srt();
        if (mnemonic == "WRG") return Wrg();
        if (mnemonic == "EWR") return Ewr();
        return Refuse(kStatusCommandError);
    }

private:
    std::string Head() const { return payload_.substr(0, 2) + "#" + payload_.substr(3, 4); }
    std::string Echo() const { return Head() + std::string(fields_); }
    std::string Refuse(std::uint8_t status) const { return ErrorBody(payload_, status); }
    bool Protected() const { return controller_.protect && controller_.writeMode == 0; }

    std::string Mrl() {
        if (fields_.size() != 5) return Refuse(kStatusCommandError);
        Relay relay;
        if (const std::uint8_t status = ParseRelay(fields_, &relay)) return Refuse(status);
        return Echo() + (relay.rt ? controller_.RtRelay(relay.number) : controller_.Relay(relay.number));
    }

    std::string Mtc() {
        if (fields_.size() != 8) return Refuse(kStatusCommandError);
        int first = 0;
        int last = 0;
        if (const std::uint8_t status = ParseTimer(fields_.substr(0, 4), &first)) return Refuse(status);
        if (const std::uint8_t status = ParseTimer(fields_.substr(4, 4), &last)) return Refuse(status);
        if (first > last) return Refuse(kStatusAddressError);
        std::string reply = Echo();
        for (int n = first; n <= last; ++n) reply.append(controller_.Timer(n).value.data(), 4);
        for (int n = first; n <= last; ++n) {
            reply += controller_.Timer(n).itemHead;
            reply += controller_.Timer(n).type;
        }
        return reply;
    }

    std::string Mrg() {
        if (fields_.size() != 10) return Refuse(kStatusCommandError);
        RegisterRange range;
        if (const std::uint8_t status = ParseRegisterRange(fields_, &range)) return Refuse(status);
        std::string reply = Echo();
        for (int byte = range.first; byte <= range.last; ++byte) reply += HexPair(controller_.Register(range.area, byte));
        return reply;
    }

    std::string Srr() {
        if (fields_.size() != 6) return Refuse(kStatusCommandError);
        Relay relay;
        if (const std::uint8_t status = ParseRelay(fields_.substr(0, 5), &relay)) return Refuse(status);
        if (fields_[5] != '0' && fields_[5] != '1') return Refuse(kStatusDataError);
        if (Protected()) return Refuse(kStatusWriteProtected);
        if (relay.rt) {
            controller_.SetRtRelay(relay.number, fields_[5]);
        } else {
            controller_.SetRelay(relay.number, fields_[5]);
        }
        return Head();
    }

    std::string Srt() {
        if (fields_.size() != 5) return Refuse(kStatusCommandError);
        int number = 0;
        if (const std::uint8_t status = ParseTimer(fields_.substr(0, 4), &number)) return Refuse(status);
        if (Protected()) return Refuse(kStatusWriteProtected);
        controller_.Timer(number).set = fields_[4];
        return Head();
    }

    std::string Wrg() {
        if (fields_.size() < 10) return Refuse(kStatusCommandError);
        RegisterRange range;
        if (const std::uint8_t status = ParseRegisterRange(fields_.substr(0, 10), &range)) return Refuse(status);
        const std::string_view data = fields_.substr(10);
        if (data.size() != 2 * static_cast<std::size_t>(range.Count())) return Refuse(kStatusDataError);
        for (const char c : data) {
            if (!IsUpperHex(c)) return Refuse(kStatusDataError);
        }
        if (Protected()) return Refuse(kStatusWriteProtected);
        for (int i = 0; i < range.Count(); ++i) {
            const auto value = static_cast<std::uint8_t>(HexByte(data.data() + 2 * i));
            controller_.SetRegister(range.area, range.first + i, value);
        }
        return Head();
    }

    std::string Ewr() {
        if (fields_.size() != 1) return Refuse(kStatusCommandError);
        if (fields_[0] < '0' || fields_[0] > '2') return Refuse(kStatusDataError);
        controller_.writeMode = fields_[0] - '0';
        return Head();
    }

    const std::string& payload_;
    std::string_view fields_;
    Controller& controller_;
};

}  // namespace

void RequestFramer::Feed(const char* bytes, std::size_t count, std::vector<ReceivedRequest>* requests) {
    for (std::size_t i = 0; i < count; ++i) {
        const char c = bytes[i];
        const bool header = colon_ && c == ':';
        colon_ = c == ':' && !header;
        if (header) {
            // Also drops the first ":", already taken as content of a frame
            // that was cut short.
            inFrame_ = true;
            frame_.clear();
            continue;
        }
        if (!inFrame_) continue;
        if (c == kCarriageReturn) {
            inFrame_ = false;
            ReceivedRequest request;
            const std::size_t digits = frame_.size() < 2 ? frame_.size() : 2;
            request.payload = frame_.substr(0, frame_.size() - digits);
            request.checksum = frame_.substr(frame_.size() - digits);
            if (digits == 2 && IsUpperHex(frame_[frame_.size() - 2]) && IsUpperHex(frame_.back())) {
                const int length = static_cast<int>(request.payload.size());
                request.checksumOk =
                    HexByte(frame_.data() + frame_.size() - 2) == FrameChecksum(request.payload.data(), length);
            }
            requests->push_back(std::move(request));
            continue;
        }
        frame_ += c;
        if (frame_.size() >= kMaxRequestLength) {
            inFrame_ = false;
            frame_.clear();
        }
    }
}

std::string ChecksumDigits(const std::string& bytes) {
    return HexPair(FrameChecksum(bytes.data(), static_cast<int>(bytes.size())));
}

std::string FrameFor(const std::string& body) { return "::" + body + ChecksumDigits(body) + kCarriageReturn; }

int StationOf(const std::string& payload) {
    if (payload.size() < 2) return -1;
    return Octal(std::string_view(payload).substr(0, 2));
}

std::string ErrorBody(const std::string& payload, std::uint8_t status) {
    const char responseTime = payload.size() > 3 && IsUpperHex(payload[3]) ? payload[3] : '0';
    return payload.substr(0, 2) + "%" + responseTime + HexPair(status);
}

std::string ReplyBodyFor(const std::string& payload, Controller& controller) {
    if (payload.size() < 7 || payload[2] != '?' || !IsUpperHex(payload[3])) {
        return ErrorBody(payload, kStatusCommandError);
    }
    return Responder(payload, controller).Reply();
}

Fault DefaultFault(FaultKind kind, int replies) {
    Fault fault {.kind = kind, .replies = replies};
    if (kind == FaultKind::kErrorStatus) fault.status = 0x0B;
    if (kind == FaultKind::kDelay) fault.delay = std::chrono::milliseconds(1500);
    if (kind == FaultKind::kDribble) fault.delay = std::chrono::milliseconds(50);
    return fault;
}

const std::vector<std::pair<std::string, FaultKind>>& FaultKindNames() {
    static const std::vector<std::pair<std::string, FaultKind>> kNames = {
        {"no-reply", FaultKind::kNoReply},     {"wrong-checksum", FaultKind::kWrongChecksum},
        {"other-station", FaultKind::kOtherStation}, {"error-status", FaultKind::kErrorStatus},
        {"cut-short", FaultKind::kCutShort},   {"no-header", FaultKind::kNoHeader},
        {"over-long", FaultKind::kOverLong},   {"garbage", FaultKind::kGarbageBefore},
        {"late", FaultKind::kDelay},           {"dribble", FaultKind::kDribble},
    };
    return kNames;
}

std::string FaultyFrame(const std::string& body, const Fault& fault) {
    const std::string frame = FrameFor(body);
    switch (fault.kind) {
        case FaultKind::kNoReply:
            return {};
        case FaultKind::kWrongChecksum: {
            const auto wrong = static_cast<std::uint8_t>(FrameChecksum(body.data(), static_cast<int>(body.size())) + 1);
            return "::" + body + HexPair(wrong) + kCarriageReturn;
        }
        case FaultKind::kOtherStation: {
            const int station = StationOf(body);
            std::string moved = body;
            FormatStation(station < 0 ? 0 : (station + 1) % 64, moved.data());
            return FrameFor(moved);
        }
        case FaultKind::kCutShort:
            return frame.substr(0, frame.size() / 2);
        case FaultKind::kNoHeader:
            return frame.substr(2);
        case FaultKind::kOverLong:
            return "::" + body + std::string(kOverLongPadding, '0');
        case FaultKind::kGarbageBefore:
            return fault.garbage + frame;
        case FaultKind::kErrorStatus:
        case FaultKind::kDelay:
        case FaultKind::kDribble:
            break;
    }
    return frame;
}

std::string Escaped(const std::string& bytes) { return kel::ShownFrame(bytes.data(), static_cast<int>(bytes.size())); }

}  // namespace kel::jwsim
