// Names on the wire and at the platform: relay and register address fields
// on any input, and what Windows is asked to open for a port name.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <string>

#include "protocol/areas.h"
#include "serial/win32/win32_device_name.h"

namespace kel {
namespace {

constexpr char kGuard = 0x5A;

struct FieldCase {
    std::int32_t areaKind;
    std::int32_t value;
    bool fits;
    const char* text;  // what the field holds, fitting or not
};

using FieldFormatter = bool (*)(std::int32_t areaKind, std::int32_t value, char* field);

// A formatter writes exactly its field, whatever the input: never a byte
// beyond it, never a wrapped or truncated address reported as fitting.
template <std::size_t N>
void ExpectFields(FieldFormatter format, const FieldCase (&cases)[N], std::size_t width) {
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.value);
        char field[8];
        std::memset(field, kGuard, sizeof field);
        EXPECT_EQ(format(c.areaKind, c.value, field), c.fits);
        EXPECT_EQ(std::string(field, width), c.text);
        EXPECT_EQ(field[width], kGuard);
    }
}

TEST(AddressFields, RelayFieldIsFiveCharactersAndSaysWhenTheNumberHasNoSuchForm) {
    const FieldCase cases[] = {
        {kAreaR, 0, true, "00000"},          {kAreaR, 4095, true, "07777"},
        {kAreaR, 7167, true, "15777"},       {kAreaR, 32767, true, "77777"},
        {kAreaR, 32768, false, "00000"},     {kAreaR, -1, false, "77777"},
        {kAreaR, INT32_MAX, false, "77777"}, {kAreaR, INT32_MIN, false, "00000"},
        {kAreaRT, 0377, true, "T0377"},      {kAreaRT, 4096, false, "T0000"},
    };
    ExpectFields(&FormatRelayField, cases, 5);
}

TEST(AddressFields, RegisterAddressIsFourCharactersAndSaysWhenItHasNoSuchForm) {
    const FieldCase cases[] = {
        {kAreaMA, 01577, true, "1577"},   {kAreaMA, 07777, true, "7777"},
        {kAreaMA, 4096, false, "0000"},   {kAreaMA, -1, false, "7777"},
        {kAreaM09, 0777, true, "9777"},   {kAreaM39, 0100, true, "9100"},
        // The "9" replaces the first digit: 01000 would come out as 9000.
        {kAreaM09, 01000, false, "9000"}, {kAreaM19, INT32_MIN, false, "9000"},
    };
    ExpectFields(&FormatRegisterAddress, cases, 4);
}

TEST(Win32PortNames, ComPortsOfAnyCaseGoThroughTheDeviceNamespace) {
    struct Case {
        const char* name;
        const char* device;  // null: refused
    };
    const Case cases[] = {
        {"COM1", "\\\\.\\COM1"},   {"COM12", "\\\\.\\COM12"}, {"com12", "\\\\.\\com12"},
        {"Com3", "\\\\.\\Com3"},   {"cOM7", "\\\\.\\cOM7"},   {"COM", "COM"},
        {"COM1a", "COM1a"},        {"com-1", "com-1"},        {"NUL", "NUL"},
        {"\\\\.\\COM4", "\\\\.\\COM4"}, {"", nullptr},         {nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name == nullptr ? "(null)" : c.name);
        char device[kWin32DeviceNameSize];
        EXPECT_EQ(Win32DeviceName(c.name, device, sizeof device), c.device != nullptr);
        if (c.device != nullptr) {
            EXPECT_STREQ(device, c.device);
        }
    }
    char small[6];
    EXPECT_FALSE(Win32DeviceName("COM12", small, sizeof small));  // does not fit, not cut
}

}  // namespace
}  // namespace kel
