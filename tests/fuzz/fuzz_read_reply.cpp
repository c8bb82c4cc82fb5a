// A read (command 6) of a gate taken from the first input bytes, answered
// with arbitrary bytes: the rest of the input in up to five chunks, each
// arriving while the driver waits for a reply.
//
// The cell may change only on result 0, and then only to what the same read
// delivers from a single reply, alone on a quiet line, that has a correct
// checksum and accepts this very request (station, "#0", mnemonic and the
// request's fields echoed): never from another request's reply.
#include <array>

#include "fuzz_support.h"

namespace {

constexpr std::uint32_t kFill = 0xA55AC33Cu;

const char* Mnemonic(std::int32_t areaKind) {
    return areaKind <= AreaRT ? "MRL" : areaKind == AreaT ? "MTC" : "MRG";
}

// The cell the read leaves with these reply chunks on a fresh line.
std::uint32_t ReadWith(const GateAddress& gate, std::uint32_t valueType, const std::vector<std::string>& replies,
                       std::int32_t* result, std::string* written) {
    fuzz::FakeLine line;
    line.Arrive(replies);
    std::uint32_t cell = kFill;
    GateRequest read {"01MA0100", 0, gate, valueType, 1, 0, &cell};
    *result = line.Call(KEL_CMD_READ_GATE, &read);
    *written = line.Written();
    return cell;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::uint32_t valueType = 0;
    GateAddress gate = fuzz::GateFrom(input, &valueType);
    const std::vector<std::string> replies = input.Chunks(5);

    std::int32_t result = 0;
    std::string written;
    const std::uint32_t cell = ReadWith(gate, valueType, replies, &result, &written);
    FUZZ_CHECK(result == KEL_OK || result == KEL_REFUSED || result == KEL_LINE_FAILURE);
    if (result != KEL_OK) FUZZ_CHECK(cell == kFill);

    std::vector<std::string> requests;
    FUZZ_CHECK(fuzz::SplitFrames(written, &requests));
    FUZZ_CHECK(requests.size() <= 5);
    if (requests.empty()) {
        // Refused before the line: nothing can have been read.
        FUZZ_CHECK(result != KEL_OK);
        return 0;
    }
    const std::string& request = requests.front();
    for (const std::string& again : requests) FUZZ_CHECK(again == request);
    FUZZ_CHECK(request.size() >= 7);
    FUZZ_CHECK(request.substr(0, 2) == fuzz::StationDigits(gate.station));
    FUZZ_CHECK(request.substr(2, 5) == std::string("?0") + Mnemonic(gate.areaKind));
    if (result != KEL_OK || cell == kFill) return 0;

    bool answered = false;
    for (const std::string& body : fuzz::CheckedBodies(fuzz::Joined(replies))) {
        if (!fuzz::AcceptsRequest(body, request)) continue;
        std::int32_t alone = 0;
        const std::string frame = "::" + body + fuzz::ChecksumDigits(body) + "\r";
        answered = answered || (ReadWith(gate, valueType, {frame}, &alone, &written) == cell && alone == KEL_OK);
    }
    FUZZ_CHECK(answered);
    return 0;
}
