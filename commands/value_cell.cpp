#include "commands/value_cell.h"

#include <cstring>

#include "kelwnsrp.h"

namespace kel {
namespace {

// Byte order is fixed by the boundary, whatever the host machine's.
void PutLittleEndian(unsigned char* bytes, std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t GetLittleEndian(const unsigned char* bytes, int count) {
    std::uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = (value << 8) | bytes[i];
    return value;
}

}  // namespace

void StoreReadValue(std::uint32_t valueType, void* cell, std::int32_t result) {
    auto* bytes = static_cast<unsigned char*>(cell);
    switch (valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT:
            PutLittleEndian(bytes + 2, static_cast<std::uint32_t>(result) & 0xFFFFu, 2);
            break;
        case KEL_VALUE_FLOAT: {
            const float number = static_cast<float>(result);
            std::uint32_t pattern = 0;
            std::memcpy(&pattern, &number, sizeof pattern);
            PutLittleEndian(bytes, pattern, 4);
            break;
        }
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT:
            PutLittleEndian(bytes, static_cast<std::uint32_t>(result), 4);
            break;
        case KEL_VALUE_DIGITAL: {
            // The low byte as a signed byte, widened with its sign.
            const auto low = static_cast<std::int8_t>(static_cast<std::uint32_t>(result) & 0xFFu);
            PutLittleEndian(bytes + 2, static_cast<std::uint16_t>(static_cast<std::int16_t>(low)), 2);
            break;
        }
        default:
            break;
    }
}

bool TakeWriteValue(std::uint32_t valueType, const void* cell, std::int32_t* value) {
    const auto* bytes = static_cast<const unsigned char*>(cell);
    switch (valueType) {
        case KEL_VALUE_ANALOG16:
        case KEL_VALUE_ANALOG16_ALT:
        case KEL_VALUE_DIGITAL:
            *value = static_cast<std::int32_t>(GetLittleEndian(bytes + 2, 2));
            return true;
        case KEL_VALUE_ANALOG32:
        case KEL_VALUE_ANALOG32_ALT:
            *value = static_cast<std::int32_t>(GetLittleEndian(bytes, 4));
            return true;
        default:
            return false;
    }
}

}  // namespace kel
