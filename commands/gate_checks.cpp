#include "commands/gate_checks.h"

#include <cstddef>
#include <string_view>

#include "host/host_log.h"
#include "protocol/areas.h"
#include "protocol/text_codec.h"

namespace kel {
namespace {

constexpr int kClassedPositions = 8;
constexpr std::int32_t kCheckedMarker = 255;
constexpr std::uint16_t kMaxTimerBlock = 256;
constexpr std::uint16_t kMaxRegisterBlock = 512;

// Command 4 checks a block's first gate without pairing area and value type.
enum class CheckMode { kGate, kBlock };

// Counts no further than one past the longest GAS: that is enough to refuse
// a longer one, and the host's string may be of any length.
std::size_t BoundedLength(const char* gas) {
    std::size_t length = 0;
    while (length <= kMaxGasLength && gas[length] != '\0') ++length;
    return length;
}

bool IsAreaLetter(char c) {
    switch (c) {
        case 'M': case 'm': case 'R': case 'r': case 'T': case 't':
            return true;
        default:
            return false;
    }
}

bool LengthFitsLetter(char letter, std::size_t length) {
    switch (letter) {
        case 'M': case 'm':
            return length == 8 || length == 9;
        case 'R': case 'r':
            return length == 8;
        default:
            return length == 7;
    }
}

constexpr std::string_view kOctal = "01234567";

// What positions 1 to 8 admit, upper case. T addresses end after position 7.
struct LetterClasses {
    char letter;
    std::string_view positions[kClassedPositions];
};

constexpr LetterClasses kClasses[] = {
    {'R', {kOctal, kOctal, "R", "01T", kOctal, kOctal, kOctal, kOctal}},
    {'M', {kOctal, kOctal, "M", "0123AB", "019", kOctal, kOctal, kOctal}},
    {'T', {kOctal, kOctal, "T", "0", "0123", kOctal, kOctal, ""}},
};

// gas is the upper-cased working copy, length characters long (no NUL inside).
bool FitsClasses(const char* gas, std::size_t length) {
    for (const LetterClasses& classes : kClasses) {
        if (classes.letter != gas[2]) continue;
        for (std::size_t i = 0; i < length && i < kClassedPositions; ++i) {
            if (classes.positions[i].find(gas[i]) == std::string_view::npos) return false;
        }
        return true;
    }
    return false;
}

// Octal number of positions first to last (from 1), up to the first
// character that is not an octal digit.
std::int32_t OctalNumber(const char* gas, int first, int last) {
    std::int32_t value = 0;
    for (int i = first - 1; i < last; ++i) {
        const char c = gas[i];
        if (c < '0' || c > '7') break;
        value = value * 8 + (c - '0');
    }
    return value;
}

bool GateTypeFitsLetter(char letter, std::uint32_t gateType) {
    switch (letter) {
        case 'R':
            return gateType == KEL_VALUE_DIGITAL;
        case 'T':
            return gateType == KEL_VALUE_ANALOG16 || gateType == KEL_VALUE_ANALOG16_ALT;
        default:
            return gateType == KEL_VALUE_ANALOG16 || gateType == KEL_VALUE_ANALOG16_ALT ||
                   gateType == KEL_VALUE_ANALOG32 || gateType == KEL_VALUE_ANALOG32_ALT;
    }
}

// The address must name an item of its area.
std::int32_t WithinArea(const GateAddress& address) {
    return address.address >= AreaItemCount(address.areaKind) ? KEL_REFUSED : KEL_OK;
}

std::int32_t TakeRelayArea(const char* gas, GateAddress& address) {
    const bool rt = gas[3] == 'T';
    address.areaKind = rt ? AreaRT : AreaR;
    address.address = rt ? OctalNumber(gas, 5, 8) : OctalNumber(gas, 4, 8);
    return WithinArea(address);
}

std::int32_t TakeRegisterArea(const char* gas, GateAddress& address) {
    // Position 9 is NUL for an eight-character GAS.
    if (gas[8] == 'B') address.widthBits = 8;
    const char group = gas[3];
    if (group == 'A' || group == 'B') {
        address.areaKind = group == 'A' ? AreaMA : AreaMB;
        if (gas[4] == '9') return KEL_REFUSED;
        address.address = OctalNumber(gas, 5, 8);
        return WithinArea(address);
    }
    address.areaKind = AreaM09 + (group - '0');
    if (gas[4] != '9') return KEL_REFUSED;
    address.address = OctalNumber(gas, 6, 8);
    return KEL_OK;
}

// The station, area, address and width the upper-cased GAS names; refused
// when it names no item.
std::int32_t TakeAddress(const char* upper, std::uint32_t gateType, GateAddress& address) {
    std::int32_t result = KEL_OK;
    if (upper[2] == 'R') {
        result = TakeRelayArea(upper, address);
    } else if (upper[2] == 'T') {
        address.areaKind = AreaT;
        address.address = OctalNumber(upper, 4, 7);
    } else {
        result = TakeRegisterArea(upper, address);
    }
    if (result != KEL_OK || address.widthBits != 0) return result;
    if (gateType == KEL_VALUE_ANALOG16 || gateType == KEL_VALUE_ANALOG16_ALT) {
        address.widthBits = 16;
    } else if (gateType == KEL_VALUE_ANALOG32 || gateType == KEL_VALUE_ANALOG32_ALT) {
        address.widthBits = 32;
    }
    return KEL_OK;
}

std::int32_t Refuse(GateRefusal* why, const char* format, const char* argument) {
    why->format = format;
    why->argument = argument;
    return KEL_REFUSED;
}

// mode kBlock checks a block's first gate without pairing area and gate type.
std::int32_t Check(const char* gas, std::uint32_t gateType, CheckMode mode, GateAddress* address,
                   GateRefusal* why) {
    // A missing GAS is refused like the empty one, so the message never
    // receives a null string.
    if (gas == nullptr) gas = "";
    const std::size_t length = BoundedLength(gas);
    const char letter = length >= 3 ? gas[2] : '\0';
    if (!IsAreaLetter(letter)) return Refuse(why, "KELSRP: GAS %s isn't correct", gas);
    if (!LengthFitsLetter(letter, length)) return Refuse(why, "KELSRP: GAS %s length isn't correct", gas);
    char* upper = why->checked;
    for (std::size_t i = 0; i < length; ++i) upper[i] = UpcaseChar(gas[i]);
    upper[length] = '\0';

    address->marker = kCheckedMarker;
    address->areaKind = AreaR;
    address->widthBits = 0;
    address->station = OctalNumber(upper, 1, 2);
    if (!FitsClasses(upper, length)) return Refuse(why, nullptr, upper);
    if (mode == CheckMode::kGate && !GateTypeFitsLetter(upper[2], gateType)) {
        return Refuse(why,
                      upper[2] == 'R' ? "KELSRP: Gate address %s should be digital!"
                                      : "KELSRP: Gate address %s should be analog!",
                      upper);
    }
    if (TakeAddress(upper, gateType, *address) != KEL_OK) {
        return Refuse(why, "KELSRP: Gate address %s not valid", upper);
    }
    return KEL_OK;
}

std::int32_t CheckAndLog(GateCheckRequest* block, CheckMode mode) {
    GateRefusal why;
    const std::int32_t result = Check(block->gas, block->gateType, mode, &block->address, &why);
    if (result != KEL_OK && why.format != nullptr) HostLog(kLogInfo, why.format, why.argument);
    return result;
}

}  // namespace

std::int32_t CheckGateAddress(const char* gas, std::uint32_t gateType, GateAddress* address, GateRefusal* why) {
    return Check(gas, gateType, CheckMode::kGate, address, why);
}

std::int32_t CheckGateAddressCommand(KelRequest* request) {
    return CheckAndLog(static_cast<GateCheckRequest*>(request->block), CheckMode::kGate);
}

std::int32_t CheckBlockAddressCommand(KelRequest* request) {
    auto* block = static_cast<GateCheckRequest*>(request->block);
    if (CheckAndLog(block, CheckMode::kBlock) != KEL_OK) return KEL_REFUSED;
    // Only the count is limited; a block may run past the end of its area.
    switch (block->address.areaKind) {
        case AreaT:
            return block->count <= kMaxTimerBlock ? KEL_OK : KEL_REFUSED;
        case AreaMA:
        case AreaMB:
        case AreaM09:
        case AreaM19:
        case AreaM29:
        case AreaM39:
            return block->count <= kMaxRegisterBlock ? KEL_OK : KEL_REFUSED;
        default:
            // Blocks of relays are not supported.
            return KEL_REFUSED;
    }
}

}  // namespace kel
