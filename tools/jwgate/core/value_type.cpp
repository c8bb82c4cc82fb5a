#include "tools/jwgate/core/value_type.h"

#include <bit>
#include <cmath>
#include <limits>
#include <utility>

namespace jwgate {
namespace {

constexpr std::pair<ValueType, const char*> kNames[] = {
    {ValueType::kRelay, "relay"}, {ValueType::kU8, "u8"},   {ValueType::kI8, "i8"},
    {ValueType::kU16, "u16"},     {ValueType::kI16, "i16"}, {ValueType::kU32, "u32"},
    {ValueType::kI32, "i32"},     {ValueType::kFloat, "float"},
};

}  // namespace

std::optional<ValueType> ValueTypeNamed(const std::string& name) {
    for (const auto& [type, text] : kNames) {
        if (name == text) return type;
    }
    return std::nullopt;
}

const char* ValueTypeName(ValueType type) {
    for (const auto& [known, text] : kNames) {
        if (known == type) return text;
    }
    return "?";
}

std::string ValueTypeNames() {
    std::string names;
    for (const auto& [type, text] : kNames) names += (names.empty() ? "" : ", ") + std::string(text);
    return names;
}

ValueBounds BoundsOf(ValueType type) {
    switch (type) {
        case ValueType::kRelay: return {0, 1};
        case ValueType::kU8: return {0, 255};
        case ValueType::kI8: return {-128, 127};
        case ValueType::kU16: return {0, 65535};
        case ValueType::kI16: return {-32768, 32767};
        case ValueType::kU32: return {0, 4294967295.0};
        case ValueType::kI32: return {-2147483648.0, 2147483647.0};
        case ValueType::kFloat: break;
    }
    return {-static_cast<double>(std::numeric_limits<float>::max()), std::numeric_limits<float>::max()};
}

int ValueBytes(ValueType type) {
    switch (type) {
        case ValueType::kRelay: return 0;
        case ValueType::kU8:
        case ValueType::kI8: return 1;
        case ValueType::kU16:
        case ValueType::kI16: return 2;
        default: return 4;
    }
}

double NumberOf(ValueType type, std::uint32_t raw) {
    switch (type) {
        case ValueType::kRelay: return raw & 1u;
        case ValueType::kU8: return raw & 0xFFu;
        case ValueType::kI8: return static_cast<std::int8_t>(raw & 0xFFu);
        case ValueType::kU16: return raw & 0xFFFFu;
        case ValueType::kI16: return static_cast<std::int16_t>(raw & 0xFFFFu);
        case ValueType::kU32: return raw;
        case ValueType::kI32: return static_cast<std::int32_t>(raw);
        case ValueType::kFloat: return std::bit_cast<float>(raw);
    }
    return 0;
}

std::optional<std::uint32_t> RawOf(ValueType type, double number) {
    if (!std::isfinite(number)) return std::nullopt;
    if (type == ValueType::kFloat) {
        if (std::fabs(number) > std::numeric_limits<float>::max()) return std::nullopt;
        return std::bit_cast<std::uint32_t>(static_cast<float>(number));
    }
    const ValueBounds bounds = BoundsOf(type);
    if (number != std::trunc(number) || number < bounds.low || number > bounds.high) return std::nullopt;
    const auto whole = static_cast<std::int64_t>(number);
    const int bytes = ValueBytes(type);
    const std::uint64_t mask = bytes == 0 ? 1u : (std::uint64_t {1} << (8 * bytes)) - 1;
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(whole) & mask);
}

int ModbusRegisters(ValueType type) { return ValueBytes(type) == 4 ? 2 : 1; }

void RegistersOf(ValueType type, WordOrder order, std::uint32_t raw, std::uint16_t* registers) {
    if (ModbusRegisters(type) == 1) {
        registers[0] = type == ValueType::kI8 ? static_cast<std::uint16_t>(static_cast<std::int16_t>(NumberOf(type, raw)))
                                             : static_cast<std::uint16_t>(raw);
        return;
    }
    const auto high = static_cast<std::uint16_t>(raw >> 16);
    const auto low = static_cast<std::uint16_t>(raw & 0xFFFFu);
    registers[0] = order == WordOrder::kHighFirst ? high : low;
    registers[1] = order == WordOrder::kHighFirst ? low : high;
}

std::optional<std::uint32_t> RawFromRegisters(ValueType type, WordOrder order, const std::uint16_t* registers) {
    if (ModbusRegisters(type) == 2) {
        const std::uint32_t first = registers[0];
        const std::uint32_t second = registers[1];
        return order == WordOrder::kHighFirst ? first << 16 | second : second << 16 | first;
    }
    switch (type) {
        case ValueType::kU8: return RawOf(type, registers[0]);
        case ValueType::kI8: return RawOf(type, static_cast<std::int16_t>(registers[0]));
        case ValueType::kRelay: return RawOf(type, registers[0] != 0 ? 1 : 0);
        default: return registers[0];
    }
}

}  // namespace jwgate
