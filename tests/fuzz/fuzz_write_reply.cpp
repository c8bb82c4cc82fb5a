// A write (command 10, or the marked write 7) of a gate and value taken from
// the first input bytes, answered with arbitrary bytes: the rest of the input
// in up to sixteen chunks, one arriving during each wait for a reply (with
// write mode, an attempt waits for three).
//
// The value cell is never changed. Every frame written is whole and for the
// gate's station; result 0 needs an acknowledgement with a correct checksum
// ("#0" and the mnemonic, nothing else) of the write request in the input,
// and of the write-mode request too when one was sent.
#include "fuzz_support.h"

namespace {


const char* WriteMnemonic(std::int32_t areaKind) {
    return areaKind <= AreaRT ? "SRR" : areaKind == AreaT ? "SRT" : "WRG";
}

// An acknowledgement of request in the stream: station, "#0", mnemonic.
bool Acknowledged(const std::string& stream, const std::string& request) {
    const std::string ack = request.substr(0, 2) + "#0" + request.substr(4, 3);
    for (const std::string& body : fuzz::CheckedBodies(stream)) {
        // The write path reads nothing after the mnemonic.
        if (body.compare(0, ack.size(), ack) == 0) return true;
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::uint32_t valueType = 0;
    GateAddress gate = fuzz::GateFrom(input, &valueType);
    const std::uint8_t flags = input.Byte();
    const bool marked = (flags & 1) != 0;
    gate.marker = (flags & 2) != 0 ? 255 : 0;
    const bool writeModePending = (flags & 4) != 0;
    std::uint8_t cell[4];
    for (std::uint8_t& byte : cell) byte = input.Byte();
    const std::vector<std::string> replies = input.Chunks(16);

    fuzz::FakeLine line;
    line.state.WriteEnablePending = writeModePending ? 1 : 0;
    line.Arrive(replies);
    std::uint8_t before[4];
    std::memcpy(before, cell, sizeof cell);
    GateRequest write {"01MA0100", 0, gate, valueType, 1, 0, cell};
    const std::int32_t result = line.Call(marked ? KEL_CMD_WRITE_MARKED : KEL_CMD_WRITE_GATE, &write);

    FUZZ_CHECK(result == KEL_OK || result == KEL_REFUSED || result == KEL_LINE_FAILURE);
    FUZZ_CHECK(std::memcmp(cell, before, sizeof cell) == 0);

    std::vector<std::string> requests;
    FUZZ_CHECK(fuzz::SplitFrames(line.Written(), &requests));
    std::string writeRequest;
    std::string modeRequest;
    for (const std::string& request : requests) {
        FUZZ_CHECK(request.size() >= 7);
        FUZZ_CHECK(request.substr(0, 4) == fuzz::StationDigits(gate.station) + "?0");
        if (request.substr(4, 3) == "EWR") {
            FUZZ_CHECK(request.size() == 8 && (request[7] == '2' || request[7] == '0'));
            modeRequest = request;
            continue;
        }
        FUZZ_CHECK(request.substr(4, 3) == WriteMnemonic(gate.areaKind));
        // Every attempt sends the same request.
        FUZZ_CHECK(writeRequest.empty() || request == writeRequest);
        writeRequest = request;
    }
    if (result != KEL_OK) return 0;

    if (writeRequest.empty()) {
        // Only a marked write of an unmarked gate succeeds without a word.
        FUZZ_CHECK(marked && gate.marker != 255);
        return 0;
    }
    const std::string stream = fuzz::Joined(replies);
    FUZZ_CHECK(Acknowledged(stream, writeRequest));
    if (!modeRequest.empty()) FUZZ_CHECK(Acknowledged(stream, modeRequest));
    FUZZ_CHECK(line.state.WriteEnablePending == 0);
    return 0;
}
