// A failed open in words, as the gateway logs it and the Python module
// raises it: the system's reason when there is one, else the layer's.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "serial/open_failure.h"
#include "serial/serial_platform.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

TEST(OpenFailureText, TheSystemsWordsWhenItGaveAReasonElseWhatTheLayersResultMeans) {
    const struct {
        int result;
        int errorNumber;
        std::string text;
    } cases[] = {
        {kSerialOpenFailed, ENOENT, "cannot open port /dev/ttyUSB9: No such file or directory"},
        {kSerialOpenFailed, EACCES, "cannot open port /dev/ttyUSB9: Permission denied"},
        {kSerialOpenFailed, EBUSY, "cannot open port /dev/ttyUSB9: Device or resource busy"},
        {kSerialOpenFailed, 0,
         "cannot open port /dev/ttyUSB9: it could not be opened, or its timeouts could not be set"},
        {kSerialStateUnreadable, 0, "cannot open port /dev/ttyUSB9: its line state could not be read"},
        {kSerialStateRefused, 0, "cannot open port /dev/ttyUSB9: it refused the line settings"},
        {kSerialIoFailed, 0, "cannot open port /dev/ttyUSB9: serial layer result 7"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenFailureText("/dev/ttyUSB9", c.result, c.errorNumber), c.text) << c.result << " " << c.errorNumber;
    }
}

TEST(OpenFailureText, AMissingDeviceOpenedThroughTheLayerIsNamedSo) {
    UseSerialPlatform(nullptr);  // the native backend, whatever ran before
    const LineParameters line {9600, 8, 0, 0};
    PortHandle handle = nullptr;
    int errorNumber = 0;
    const int result = OpenPort("/dev/kel-no-such-port", &line, 8, &handle, &errorNumber);
    EXPECT_EQ(OpenFailureText("/dev/kel-no-such-port", result, errorNumber),
              "cannot open port /dev/kel-no-such-port: No such file or directory");
}

}  // namespace
}  // namespace kel
