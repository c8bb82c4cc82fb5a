// A read (command 6) of a gate taken from the first input bytes, answered
// with arbitrary bytes: the rest of the input in up to five chunks, each
// arriving while the driver waits for a reply.
//
// The cell may change only on result 0, and then only to the value of a
// reply with a correct checksum that accepts this very request (station,
// "#0", mnemonic and the request's fields echoed) and carries the data the
// gate needs. Which of several such replies the driver takes is its own
// business; that it took one is not.
#include <array>
#include <optional>

#include "fuzz_support.h"

namespace {

constexpr std::uint32_t kFill = 0xA55AC33Cu;

using Cell = std::array<std::uint8_t, 4>;

Cell CellOf(std::uint32_t value) {
    return {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)};
}

int ByteCount(std::int32_t widthBits) { return widthBits == 8 ? 1 : widthBits == 16 ? 2 : widthBits == 32 ? 4 : 0; }

int DataChars(const GateAddress& gate) {
    if (gate.areaKind <= AreaRT) return 1;
    if (gate.areaKind == AreaT) return 6;
    return 2 * ByteCount(gate.widthBits);
}

const char* Mnemonic(std::int32_t areaKind) {
    return areaKind <= AreaRT ? "MRL" : areaKind == AreaT ? "MTC" : "MRG";
}

bool IsDecimal(char c) { return c >= '0' && c <= '9'; }
int HexNibble(char c) {
    if (IsDecimal(c)) return c - '0';
    return c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The cell a reply's data leaves behind, or nothing when the data is not in
// the controller's alphabet (then any cell is taken as that reply's).
std::optional<Cell> CellAfter(const GateAddress& gate, std::uint32_t valueType, std::string_view data) {
    std::int32_t value = 0;
    if (gate.areaKind <= AreaRT) {
        if (data[0] != '0' && data[0] != '1') return std::nullopt;
        value = data[0] - '0';
    } else if (gate.areaKind == AreaT) {
        // Tens and units, then thousands (its low bit) and hundreds; the
        // last character says timer ("4") or counter ("2").
        for (const int i : {0, 1, 2, 3}) {
            if (!IsDecimal(data[i])) return std::nullopt;
        }
        if (data[5] != '4' && data[5] != '2') return CellOf(kFill);
        value = 1000 * ((data[2] - '0') & 1) + 100 * (data[3] - '0') + 10 * (data[0] - '0') + (data[1] - '0');
    } else {
        std::uint32_t bytes = 0;
        for (int i = ByteCount(gate.widthBits) - 1; i >= 0; --i) {
            const int high = HexNibble(data[2 * i]);
            const int low = HexNibble(data[2 * i + 1]);
            if (high < 0 || low < 0) return std::nullopt;
            bytes = bytes << 8 | static_cast<std::uint32_t>(high * 16 + low);
        }
        value = static_cast<std::int32_t>(bytes);
    }
    Cell cell = CellOf(kFill);
    switch (valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT:
            cell[2] = static_cast<std::uint8_t>(value);
            cell[3] = static_cast<std::uint8_t>(value >> 8);
            break;
        case KEL_VALUE_FLOAT: {
            const float number = static_cast<float>(value);
            std::uint32_t pattern = 0;
            std::memcpy(&pattern, &number, sizeof pattern);
            cell = CellOf(pattern);
            break;
        }
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT:
            cell = CellOf(static_cast<std::uint32_t>(value));
            break;
        case KEL_VALUE_DIGITAL:
            // The low byte, sign-extended to 16 bits.
            cell[2] = static_cast<std::uint8_t>(value);
            cell[3] = (value & 0x80) != 0 ? 0xFF : 0x00;
            break;
        default:
            break;
    }
    return cell;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    std::uint32_t valueType = 0;
    GateAddress gate = fuzz::GateFrom(input, &valueType);
    const std::vector<std::string> replies = input.Chunks(5);

    fuzz::FakeLine line;
    line.Arrive(replies);
    Cell cell = CellOf(kFill);
    GateRequest read {"01MA0100", 0, gate, valueType, 1, 0, cell.data()};
    const std::int32_t result = line.Call(KEL_CMD_READ_GATE, &read);

    FUZZ_CHECK(result == KEL_OK || result == KEL_REFUSED || result == KEL_LINE_FAILURE);
    if (result != KEL_OK) FUZZ_CHECK(cell == CellOf(kFill));

    std::vector<std::string> requests;
    FUZZ_CHECK(fuzz::SplitFrames(line.Written(), &requests));
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
    if (result != KEL_OK) return 0;

    bool answered = false;
    bool sameCell = false;
    for (const std::string& body : fuzz::CheckedBodies(fuzz::Joined(replies))) {
        const std::size_t need = request.size() + static_cast<std::size_t>(DataChars(gate));
        if (!fuzz::AcceptsRequest(body, request) || body.size() < need) continue;
        answered = true;
        const std::optional<Cell> expected = CellAfter(gate, valueType, std::string_view(body).substr(request.size()));
        if (!expected || *expected == cell) sameCell = true;
    }
    FUZZ_CHECK(answered);
    FUZZ_CHECK(sameCell);
    return 0;
}
