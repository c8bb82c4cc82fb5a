// The gate address checks (commands 3 and 4) on an arbitrary GAS: the first
// input byte picks the order of the checks, the next the gate type, two more
// the block count, and the rest is the GAS (NUL added).
//
// Each call is checked on its own: a result of 0 or 1, and on 0 a
// GateAddress that agrees with the GAS's letter, station digits and address
// digits and lies within its area. The first check is then repeated after
// the other command, so a check that leaves state behind shows.
#include <memory>

#include "fuzz_support.h"

namespace {

char Upper(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; }

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

// The octal number of gas[first, last), which must be all octal digits.
std::int32_t Octal(const std::string& gas, std::size_t first, std::size_t last) {
    std::int32_t value = 0;
    for (std::size_t i = first; i < last; ++i) {
        FUZZ_CHECK(IsOctal(gas[i]));
        value = value * 8 + (gas[i] - '0');
    }
    return value;
}

bool SameAddress(const GateAddress& a, const GateAddress& b) {
    return a.station == b.station && a.areaKind == b.areaKind && a.address == b.address &&
           a.marker == b.marker && a.widthBits == b.widthBits;
}

struct Check {
    std::int32_t result;
    GateAddress address;
};

Check Run(std::int32_t command, const char* gas, std::uint32_t gateType, std::uint16_t count) {
    GateCheckRequest block {gas, 0, gateType, count, 0, {}};
    KelRequest request {nullptr, command, 0, 0, &block};
    return {KelMain(&request), block.address};
}

// What an accepted GAS must have produced.
void CheckAccepted(std::int32_t command, const std::string& gas, std::uint32_t gateType, std::uint16_t count,
                   const GateAddress& a) {
    const std::size_t length = gas.size();
    FUZZ_CHECK(length >= 7 && length <= 9);
    FUZZ_CHECK(a.marker == 255);
    FUZZ_CHECK(a.station == Octal(gas, 0, 2));
    FUZZ_CHECK(a.widthBits == 0 || a.widthBits == 8 || a.widthBits == 16 || a.widthBits == 32);
    FUZZ_CHECK(a.areaKind >= 0 && a.areaKind <= 9 && a.areaKind != 2);
    FUZZ_CHECK(a.address >= 0 && a.address < fuzz::kAreaItems[a.areaKind]);

    const bool analog16 = gateType == KEL_VALUE_ANALOG16 || gateType == KEL_VALUE_ANALOG16_ALT;
    const bool analog32 = gateType == KEL_VALUE_ANALOG32 || gateType == KEL_VALUE_ANALOG32_ALT;
    const char group = Upper(gas[3]);
    switch (Upper(gas[2])) {
        case 'R':
            FUZZ_CHECK(length == 8);
            FUZZ_CHECK(command == KEL_CMD_CHECK_GATE);  // no relay blocks
            FUZZ_CHECK(gateType == KEL_VALUE_DIGITAL && a.widthBits == 0);
            if (group == 'T') {
                FUZZ_CHECK(a.areaKind == AreaRT && a.address == Octal(gas, 4, 8));
            } else {
                FUZZ_CHECK(a.areaKind == AreaR && a.address == Octal(gas, 3, 8));
            }
            break;
        case 'T':
            FUZZ_CHECK(length == 7);
            FUZZ_CHECK(a.areaKind == AreaT && a.address == Octal(gas, 3, 7));
            if (command == KEL_CMD_CHECK_GATE) FUZZ_CHECK(analog16 && a.widthBits == 16);
            else FUZZ_CHECK(count <= 256);
            break;
        case 'M': {
            FUZZ_CHECK(length == 8 || length == 9);
            const bool byteGate = length == 9 && Upper(gas[8]) == 'B';
            if (group == 'A' || group == 'B') {
                FUZZ_CHECK(a.areaKind == (group == 'A' ? AreaMA : AreaMB) && a.address == Octal(gas, 4, 8));
            } else {
                FUZZ_CHECK(group >= '0' && group <= '3' && gas[4] == '9');
                FUZZ_CHECK(a.areaKind == AreaM09 + (group - '0') && a.address == Octal(gas, 5, 8));
            }
            if (command == KEL_CMD_CHECK_GATE) FUZZ_CHECK(analog16 || analog32);
            else FUZZ_CHECK(count <= 512);
            FUZZ_CHECK(a.widthBits == (byteGate ? 8 : analog16 ? 16 : analog32 ? 32 : 0));
            break;
        }
        default:
            FUZZ_CHECK(!"an accepted GAS has the letter R, T or M");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    teskar_clear();
    fuzz::Input input(data, size);
    const bool blockFirst = (input.Byte() & 1) != 0;
    const std::uint32_t gateType = input.Byte() % 9;
    const std::uint16_t count = input.U16();
    const std::string rest = input.Rest();
    // Exactly as long as the string and its NUL, so an overread shows.
    const std::unique_ptr<char[]> gas(new char[rest.size() + 1]);
    std::memcpy(gas.get(), rest.data(), rest.size());
    gas[rest.size()] = '\0';
    const std::string text(gas.get());

    const std::int32_t first = blockFirst ? KEL_CMD_CHECK_BLOCK : KEL_CMD_CHECK_GATE;
    const std::int32_t second = blockFirst ? KEL_CMD_CHECK_GATE : KEL_CMD_CHECK_BLOCK;
    const Check checks[] = {Run(first, gas.get(), gateType, count), Run(second, gas.get(), gateType, count),
                            Run(first, gas.get(), gateType, count)};
    const std::int32_t commands[] = {first, second, first};
    for (int i = 0; i < 3; ++i) {
        FUZZ_CHECK(checks[i].result == KEL_OK || checks[i].result == KEL_REFUSED);
        if (checks[i].result == KEL_OK) CheckAccepted(commands[i], text, gateType, count, checks[i].address);
    }
    FUZZ_CHECK(checks[2].result == checks[0].result);
    if (checks[0].result == KEL_OK) FUZZ_CHECK(SameAddress(checks[2].address, checks[0].address));
    return 0;
}
