// What a point's controller item holds and how its bytes read as a number:
// relays, 8-, 16- and 32-bit integers, and IEEE 754 single floats, all kept
// as the raw bytes the controller holds, least significant first.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace jwgate {

enum class ValueType { kRelay, kU8, kI8, kU16, kI16, kU32, kI32, kFloat };

// "relay", "u8", "i8", "u16", "i16", "u32", "i32", "float".
std::optional<ValueType> ValueTypeNamed(const std::string& name);
const char* ValueTypeName(ValueType type);
// Every name above, in that order: "relay, u8, ..., float".
std::string ValueTypeNames();

// Register bytes the type takes in the controller: 1, 2 or 4 (0 for relays).
int ValueBytes(ValueType type);

// The lowest and highest number the type holds (a float's finite range).
struct ValueBounds {
    double low;
    double high;
};
ValueBounds BoundsOf(ValueType type);

// The controller's raw bytes as a number.
double NumberOf(ValueType type, std::uint32_t raw);

// A number as the raw bytes the type stores; nothing when it is not one the
// type can hold (out of range, not whole for an integer, not finite).
std::optional<std::uint32_t> RawOf(ValueType type, double number);

// 16-bit Modbus registers of a point: 1 for relays (one bit), 8- and
// 16-bit values; 2 for 32-bit values and floats.
int ModbusRegisters(ValueType type);

// How a 32-bit value lies in two registers.
enum class WordOrder { kHighFirst, kLowFirst };

// The point's registers from its raw bytes: a signed 8-bit value is sign
// extended to 16 bits.
void RegistersOf(ValueType type, WordOrder order, std::uint32_t raw, std::uint16_t* registers);

// The raw bytes from registers written by a client; nothing when an 8-bit
// type receives a value it cannot hold.
std::optional<std::uint32_t> RawFromRegisters(ValueType type, WordOrder order, const std::uint16_t* registers);

}  // namespace jwgate
