#include "commands/driver_info.h"

#include <array>
#include <cstddef>
#include <string_view>

namespace kel {
namespace {

// Code page 437 box-drawing and shade characters.
constexpr char kTopLeft = '\xC9';
constexpr char kHorizontal = '\xCD';
constexpr char kTopRight = '\xBB';
constexpr char kVertical = '\xBA';
constexpr char kBottomLeft = '\xC8';
constexpr char kBottomRight = '\xBC';
constexpr char kFullBlock = '\xDB';
constexpr char kDarkShade = '\xB2';
constexpr char kMediumShade = '\xB1';
constexpr char kLightShade = '\xB0';

constexpr std::size_t kInnerWidth = 59;  // columns between the two verticals
constexpr std::size_t kBannerLength = 1 + 6 * (1 + 1 + kInnerWidth + 1 + 1);

constexpr std::string_view kNotice = "Computer-link driver for JW controllers, Version 7.00";

struct BannerText {
    std::array<char, kBannerLength + 1> text {};
    std::size_t length = 0;

    constexpr void Put(char c, std::size_t times = 1) {
        for (std::size_t i = 0; i < times; ++i) text[length++] = c;
    }
    constexpr void Put(std::string_view s) {
        for (char c : s) Put(c);
    }
    // One boxed line: a space, the left vertical, content padded with spaces
    // to the inner width, the right vertical and a line feed.
    constexpr void BoxLine(std::size_t indent, std::string_view content) {
        Put(' ');
        Put(kVertical);
        Put(' ', indent);
        Put(content);
        Put(' ', kInnerWidth - indent - content.size());
        Put(kVertical);
        Put('\n');
    }
    constexpr void Border(char left, char right) {
        Put(' ');
        Put(left);
        Put(kHorizontal, kInnerWidth);
        Put(right);
        Put('\n');
    }
};

constexpr BannerText MakeBanner() {
    BannerText b;
    b.Put('\n');
    b.Border(kTopLeft, kTopRight);
    b.Put(' ');
    b.Put(kVertical);
    b.Put(' ');
    b.Put(kFullBlock, 5);
    b.Put(kDarkShade, 6);
    b.Put(kMediumShade, 6);
    b.Put(kLightShade, 6);
    b.Put(" K E L S R P ");
    b.Put(kLightShade, 6);
    b.Put(kMediumShade, 6);
    b.Put(kDarkShade, 4);
    b.Put(kFullBlock, 5);
    b.Put(' ');
    b.Put(kVertical);
    b.Put('\n');
    b.BoxLine(12, "Sharp PLC , New Satelite JW,");
    b.BoxLine(11, "Serial port, Driver Installed");
    b.BoxLine(4, kNotice);
    b.Border(kBottomLeft, kBottomRight);
    b.text[b.length] = '\0';
    return b;
}

constexpr BannerText kBanner = MakeBanner();
static_assert(kBanner.length == 379, "the banner is 379 characters");
static_assert(kNotice.ends_with("Version 7.00") && 4 + kNotice.size() <= kInnerWidth);

}  // namespace

const char* DriverBanner() { return kBanner.text.data(); }

std::int32_t DriverInfoCommand(KelRequest* request) {
    auto* info = static_cast<DriverInfo*>(request->block);
    info->hostValue1 = 70;
    info->name = kDriverName;
    info->banner = DriverBanner();
    info->hostValue2 = 40;
    info->hostValue3 = 4;
    info->defaultLine = LineSettings {9600, 7, 0, 0};
    info->hostValue4 = 3;
    return KEL_OK;
}

}  // namespace kel
