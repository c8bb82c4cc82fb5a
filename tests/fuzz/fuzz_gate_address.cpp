// The gate address checks (commands 3 and 4) on an arbitrary GAS: the first
// input byte picks the order of the checks, the next the gate type, two more
// the block count, and the rest is the GAS (NUL added, in a buffer exactly
// that long, so an overread shows).
//
// Each check gives 0 or 1, and on 0 a GateAddress a read or write can use:
// marker 255, a station of two octal digits, a known area, an item within it,
// a width of 0, 8, 16 or 32 bits. The first check is repeated after the
// other command, so a check that leaves state behind shows.
#include <memory>

#include "fuzz_support.h"
#include "protocol/areas.h"

namespace {

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
    const Check check {KelMain(&request), block.address};
    FUZZ_CHECK(check.result == KEL_OK || check.result == KEL_REFUSED);
    if (check.result != KEL_OK) return check;
    const GateAddress& a = check.address;
    FUZZ_CHECK(a.marker == 255 && a.station >= 0 && a.station <= kel::kMaxStation);
    FUZZ_CHECK(a.address >= 0 && a.address < kel::AreaItemCount(a.areaKind));
    FUZZ_CHECK(a.widthBits == 0 || a.widthBits == 8 || a.widthBits == 16 || a.widthBits == 32);
    return check;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    teskar_clear();
    fuzz::Input input(data, size);
    const bool blockFirst = (input.Byte() & 1) != 0;
    const std::uint32_t gateType = input.Byte() % 9;
    const std::uint16_t count = input.U16();
    const std::string rest = input.Rest();
    const std::unique_ptr<char[]> gas(new char[rest.size() + 1]);
    std::memcpy(gas.get(), rest.data(), rest.size());
    gas[rest.size()] = '\0';

    const std::int32_t first = blockFirst ? KEL_CMD_CHECK_BLOCK : KEL_CMD_CHECK_GATE;
    const std::int32_t second = blockFirst ? KEL_CMD_CHECK_GATE : KEL_CMD_CHECK_BLOCK;
    const Check once = Run(first, gas.get(), gateType, count);
    Run(second, gas.get(), gateType, count);
    const Check again = Run(first, gas.get(), gateType, count);
    FUZZ_CHECK(again.result == once.result);
    if (once.result == KEL_OK) FUZZ_CHECK(SameAddress(again.address, once.address));
    return 0;
}
