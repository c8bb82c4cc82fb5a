// What the transactions need to know of each controller area: the link
// command that reads it, how many items it holds, the character that names
// a register area, and the wire form of its addresses.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

// Items of an area (relays, timer/counter numbers, register bytes); 0 for
// an areaKind no gate address produces.
std::int32_t AreaItemCount(std::int32_t areaKind);

bool IsRelayArea(std::int32_t areaKind);     // AreaR, AreaRT
bool IsRegisterArea(std::int32_t areaKind);  // AreaMA to AreaM39

// "A", "B", "0" to "3" for the register areas.
char RegisterAreaChar(std::int32_t areaKind);

// A register byte address as four octal digits (no NUL); for the file
// registers AreaM09 to AreaM39 the first digit is "9". Any input is safe:
// false when the address has no such form (negative, above 07777, or above
// 0777 for a file register); the four characters then hold its low octal
// digits and must not be sent.
[[nodiscard]] bool FormatRegisterAddress(std::int32_t areaKind, std::int32_t byteAddress, char* fourDigits);

// The five characters that name a relay: its number as five octal digits
// for AreaR (4095 is 07777, 4096 is 10000), "T" and four digits for AreaRT.
// Any input is safe: false when the number has no such form (negative, above
// 077777, or above 07777 for AreaRT); the five characters then hold its low
// octal digits and must not be sent.
[[nodiscard]] bool FormatRelayField(std::int32_t areaKind, std::int32_t relay, char* fiveChars);

// Station as two octal digits (no NUL); station must be 0 to 63.
void FormatStation(std::int32_t station, char* twoDigits);

// The seven bytes every request starts with: station, "?", "0", mnemonic.
void FormatRequestHead(std::int32_t station, const char* mnemonic, char* sevenBytes);

}  // namespace kel
