// What the fuzz targets share: taking typed fields from the raw input, a
// check that ends the process (libFuzzer reports it with the input), finding
// frames in a byte stream, and a driver instance opened on a fresh recording
// fake.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "kelwnsrp.h"
#include "protocol/areas.h"
#include "serial/serial_platform.h"
#include "support/fake_serial_platform.h"
#include "teskar.h"

#define FUZZ_CHECK(condition)                                                            \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (false)

namespace fuzz {

// Reads fields off the front of the input; past its end every field is 0.
class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t Byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::uint16_t U16() {
        const std::uint16_t low = Byte();
        return static_cast<std::uint16_t>(low | Byte() << 8);
    }
    std::string Take(std::size_t count) {
        if (count > size_ - at_) count = size_ - at_;
        std::string bytes(reinterpret_cast<const char*>(data_ + at_), count);
        at_ += count;
        return bytes;
    }
    std::string Rest() { return Take(size_ - at_); }
    bool Empty() const { return at_ >= size_; }

    // Up to `most` chunks, each a 16-bit little-endian length and its bytes
    // (cut short at the end of the input).
    std::vector<std::string> Chunks(int most) {
        std::vector<std::string> chunks;
        while (!Empty() && static_cast<int>(chunks.size()) < most) chunks.push_back(Take(U16()));
        return chunks;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

// The two upper-case hex digits of the two's complement of the byte sum.
inline std::string ChecksumDigits(std::string_view body) {
    unsigned sum = 0;
    for (const char c : body) sum += static_cast<unsigned char>(c);
    static constexpr char kHex[] = "0123456789ABCDEF";
    const unsigned checksum = (0x100u - (sum & 0xFFu)) & 0xFFu;
    return {kHex[checksum >> 4], kHex[checksum & 0xFu]};
}

// Station as the two octal digits every frame starts with.
inline std::string StationDigits(std::int32_t station) {
    return {static_cast<char>('0' + (station >> 3 & 7)), static_cast<char>('0' + (station & 7))};
}

// Bodies of the frames in a byte stream whose checksum is right: what lies
// between a "::" and the first CR after it, the two checksum digits removed.
// Every "::" counts, so a frame hidden behind garbage or a cut one is found.
inline std::vector<std::string> CheckedBodies(std::string_view stream) {
    std::vector<std::string> bodies;
    for (std::size_t at = stream.find("::"); at != std::string_view::npos; at = stream.find("::", at + 1)) {
        const std::size_t end = stream.find('\r', at + 2);
        if (end == std::string_view::npos) break;
        const std::string_view body = stream.substr(at + 2, end - at - 2);
        if (body.size() < 2) continue;
        const std::string_view payload = body.substr(0, body.size() - 2);
        if (body.substr(body.size() - 2) == ChecksumDigits(payload)) bodies.emplace_back(payload);
    }
    return bodies;
}

// Splits what the driver wrote into request payloads; false unless it is
// nothing but whole frames with correct checksums.
inline bool SplitFrames(std::string_view written, std::vector<std::string>* payloads) {
    while (!written.empty()) {
        const std::size_t end = written.find('\r');
        if (written.substr(0, 2) != "::" || end == std::string_view::npos || end < 4) return false;
        const std::string_view payload = written.substr(2, end - 4);
        if (written.substr(end - 2, 2) != ChecksumDigits(payload)) return false;
        payloads->emplace_back(payload);
        written.remove_prefix(end + 1);
    }
    return true;
}

// A reply to `request` accepting it: same station, "#", "0", then the
// request's mnemonic and fields echoed.
inline bool AcceptsRequest(std::string_view body, std::string_view request) {
    return request.size() >= 7 && body.size() >= request.size() && body.substr(0, 2) == request.substr(0, 2) &&
           body.substr(2, 2) == "#0" && body.substr(4, request.size() - 4) == request.substr(4);
}

// One driver instance opened on COM1 of a fresh fake, for one input.
class FakeLine {
public:
    FakeLine() {
        fake.AddDevice(kDevice);
        kel::UseSerialPlatform(&fake);
        teskar_clear();
        OpenRequest open {"COM1", 1, 10, {9600, 7, 0, 0}};
        FUZZ_CHECK(Call(KEL_CMD_OPEN, &open) == KEL_OK);
        fake.ClearLog();
    }
    ~FakeLine() {
        Call(KEL_CMD_CLOSE, nullptr);
        kel::UseSerialPlatform(nullptr);
        teskar_clear();
    }
    FakeLine(const FakeLine&) = delete;
    FakeLine& operator=(const FakeLine&) = delete;

    std::int32_t Call(std::int32_t command, void* block) {
        KelRequest request {&state, command, 0, 0, block};
        return KelMain(&request);
    }
    void Arrive(const std::vector<std::string>& chunks) {
        std::vector<std::vector<std::uint8_t>> bytes;
        for (const std::string& chunk : chunks) bytes.emplace_back(chunk.begin(), chunk.end());
        fake.ScheduleArrivals(kDevice, bytes);
    }
    std::string Written() {
        const auto& written = fake.Device(kDevice).written;
        return {written.begin(), written.end()};
    }

    static constexpr char kDevice[] = "COM1";
    kel::test_support::FakeSerialPlatform fake;
    DriverState state {};
};

inline std::string Joined(const std::vector<std::string>& chunks) {
    std::string all;
    for (const std::string& chunk : chunks) all += chunk;
    return all;
}

// A checked gate of any area, an address up to a few past the area's end,
// any width, value type (returned in *valueType) and station up to 65.
inline GateAddress GateFrom(Input& input, std::uint32_t* valueType) {
    constexpr std::int32_t kWidths[] = {0, 8, 16, 32, 24};
    GateAddress gate {};
    gate.areaKind = input.Byte() % 10;
    gate.address = input.U16() % (kel::AreaItemCount(gate.areaKind) + 4);
    gate.widthBits = kWidths[input.Byte() % 5];
    *valueType = input.Byte() % 8;
    gate.station = input.Byte() % 66;
    gate.marker = 255;
    return gate;
}

}  // namespace fuzz
