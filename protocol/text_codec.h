// The protocol's small text routines: upper-casing, hexadecimal pairs and
// octal addresses, shared by the frame layer, the address checks and the
// transactions.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kel {

// Room FormatOctalAddress needs: seven octal digits and a NUL.
inline constexpr std::size_t kOctalAddressSize = 8;

// Lowers by 32 every character whose code, as a signed byte, is 97 to 127:
// a to z become A to Z, and { | } ~ DEL become [ \ ] ^ _. Bytes above 127
// are returned unchanged.
char UpcaseChar(char c);

// Value of two hexadecimal characters, high digit first: "0" to "9" count
// their code minus 48, any other character its code minus 55 (so "A" to "F"
// give 10 to 15; lower case and other characters are not validated).
std::uint16_t HexByte(const char* pair);

// Little-endian hexadecimal: size 1, 2 or 4 pairs, the least significant byte
// first; any other size gives 0.
std::uint32_t HexValue(const char* text, int size);

// Writes value in octal, zero-padded to at least four digits, and a NUL into
// destination (kOctalAddressSize bytes). Only the low 21 bits (seven octal
// digits) are written, so no value can overrun the destination.
void FormatOctalAddress(std::int32_t value, char* destination);

}  // namespace kel
