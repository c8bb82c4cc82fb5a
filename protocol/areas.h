// The controller's memory areas as the computer link names them: what each
// holds, the character that names a register area, and the wire form of
// stations and addresses. Every limit is written here once: the gate checks,
// the transactions and the simulator all take it from here.
#pragma once

#include <cstdint>

namespace kel {

// Area codes as a checked gate address carries them (2 is never produced).
enum AreaCode : std::int32_t {
    kAreaR = 0,    // relays 00000 to 15777
    kAreaRT = 1,   // relays T0000 to T0377
    kAreaT = 3,    // timer and counter current values
    kAreaMA = 4,   // registers
    kAreaMB = 5,
    kAreaM09 = 6,  // file registers 09000 to 39777
    kAreaM19 = 7,
    kAreaM29 = 8,
    kAreaM39 = 9,
};

inline constexpr std::int32_t kMaxStation = 63;  // two octal digits
inline constexpr std::int32_t kRelayCount = 7168;
inline constexpr std::int32_t kRtRelayCount = 256;
inline constexpr std::int32_t kTimerCount = 256;
inline constexpr std::int32_t kRegisterACount = 896;
inline constexpr std::int32_t kRegisterCount = 512;  // MB and each file-register area

// Items of an area (relays, timer/counter numbers, register bytes); 0 for a
// code that names no area.
std::int32_t AreaItemCount(std::int32_t area);

bool IsRelayArea(std::int32_t area);     // R, RT
bool IsRegisterArea(std::int32_t area);  // MA to M39

// "A", "B", "0" to "3" for the register areas.
char RegisterAreaChar(std::int32_t area);

// Bytes of a register item of that width in bits: 1, 2 or 4; 0 for others.
int RegisterBytes(std::int32_t widthBits);

// One item of a controller: a relay, a timer/counter number, or a register
// value of `bytes` bytes starting at byte `address`.
struct Item {
    std::int32_t station = 0;
    std::int32_t area = kAreaR;
    std::int32_t address = 0;
    int bytes = 0;  // registers only
};

// An item the link can name: station and address within range, a register
// of 1, 2 or 4 bytes whose last byte lies within its area (past it, it would
// name an item of another area or wrap under the "9" rule).
bool ValidItem(const Item& item);

// Whether a write of value can be sent to the item: a relay or timer contact
// takes "0" or "1" only, an 8-bit register 0 to 255.
bool ValueFits(const Item& item, std::int32_t value);

// A register byte address as four octal digits (no NUL); for the file
// registers M09 to M39 the first digit is "9". Any input is safe: false when
// the address has no such form (negative, above 07777, or above 0777 for a
// file register); the four characters then hold its low octal digits and
// must not be sent.
[[nodiscard]] bool FormatRegisterAddress(std::int32_t area, std::int32_t byteAddress, char* fourDigits);

// Area character, first byte, area character, last byte: the ten
// characters that name a run of register bytes ("A0100A0101"); false as
// FormatRegisterAddress for either address.
[[nodiscard]] bool FormatRegisterRangeFields(std::int32_t area, std::int32_t first, std::int32_t last, char* tenChars);

// The five characters that name a relay: its number as five octal digits
// for R (4095 is 07777, 4096 is 10000), "T" and four digits for RT. Any input
// is safe: false when the number has no such form (negative, above 077777,
// or above 07777 for RT); the five characters then hold its low octal digits
// and must not be sent.
[[nodiscard]] bool FormatRelayField(std::int32_t area, std::int32_t relay, char* fiveChars);

// Station as two octal digits (no NUL); only its low six bits are written.
void FormatStation(std::int32_t station, char* twoDigits);

}  // namespace kel
