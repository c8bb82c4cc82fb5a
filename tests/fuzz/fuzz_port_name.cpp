// Port names: 12 arbitrary bytes (no NUL needed) given to the open command,
// 12 more to the change-port command, on a fake with a few devices; the
// first 12 bytes also go through the Linux device-name mapping, into a
// buffer of a size taken from the next byte.
//
// A name that does not end within its field is refused without reaching
// the platform; an accepted one opened the device of exactly that name; and
// after closing, no device is left open. A mapped path ends within its
// buffer and, for a relative name, stays below /dev/.
#include <memory>

#include "fuzz_support.h"
#include "serial/posix/posix_device_name.h"

namespace {

using kel::test_support::PlatformCall;

const char* const kDevices[] = {"COM1", "NUL", "pts/3", "ttyUSB0"};

bool Terminated(const char (&name)[KEL_PORT_NAME_SIZE]) {
    return std::memchr(name, '\0', KEL_PORT_NAME_SIZE) != nullptr;
}

void CheckMapping(const char (&field)[KEL_PORT_NAME_SIZE], std::size_t size) {
    char name[KEL_PORT_NAME_SIZE + 1] = {};
    std::memcpy(name, field, KEL_PORT_NAME_SIZE);
    // Exactly size bytes, so a write past them shows.
    const std::unique_ptr<char[]> path(new char[size == 0 ? 1 : size]);
    if (kel::DevicePathForPortName(name, path.get(), size)) {
        FUZZ_CHECK(std::memchr(path.get(), '\0', size) != nullptr);
        FUZZ_CHECK(path[0] == '/');
        if (name[0] != '/') {
            FUZZ_CHECK(std::strncmp(path.get(), "/dev/", 5) == 0);
            FUZZ_CHECK(std::strstr(path.get(), "..") == nullptr);
        }
    }
}

std::size_t OpenCalls(const kel::test_support::FakeSerialPlatform& fake) {
    return fake.CallsOf(PlatformCall::OpenDevice).size();
}

// The handle after a successful open or change belongs to the named device.
void CheckOpened(std::int32_t result, const char (&name)[KEL_PORT_NAME_SIZE], fuzz::FakeLine& line) {
    FUZZ_CHECK(result == KEL_OK || result == KEL_LINE_FAILURE);
    if (result != KEL_OK) return;
    FUZZ_CHECK(line.state.portHandle != nullptr);
    FUZZ_CHECK(line.fake.NameOf(line.state.portHandle) == std::string(name));
}

bool Same(const DriverState& a, const DriverState& b) {
    return a.LinkTimeout == b.LinkTimeout && a.portHandle == b.portHandle && a.portOpen == b.portOpen &&
           std::memcmp(&a.portSettings, &b.portSettings, sizeof a.portSettings) == 0 &&
           a.WriteEnablePending == b.WriteEnablePending;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input input(data, size);
    OpenRequest open {{}, 1, 10, {9600, 8, 0, 0}};
    ChangePortRequest change {{}, 0, {0, 0, 0, 0}};
    const std::string first = input.Take(KEL_PORT_NAME_SIZE);
    const std::string second = input.Take(KEL_PORT_NAME_SIZE);
    std::memcpy(open.portName, first.data(), first.size());
    std::memcpy(change.portName, second.data(), second.size());
    const std::size_t pathSize = input.Byte() % 72;

    CheckMapping(open.portName, pathSize);

    fuzz::FakeLine line;  // COM1 already open; the first command supersedes it
    for (const char* device : kDevices) {
        if (std::strcmp(device, fuzz::FakeLine::kDevice) != 0) line.fake.AddDevice(device);
    }

    std::size_t opens = OpenCalls(line.fake);
    const std::int32_t opened = line.Call(KEL_CMD_OPEN, &open);
    CheckOpened(opened, open.portName, line);
    if (!Terminated(open.portName)) FUZZ_CHECK(opened == KEL_LINE_FAILURE && OpenCalls(line.fake) == opens);

    opens = OpenCalls(line.fake);
    const DriverState before = line.state;
    const std::int32_t changed = line.Call(KEL_CMD_CHANGE_PORT, &change);
    CheckOpened(changed, change.portName, line);
    if (!Terminated(change.portName)) {
        // Refused before anything changes.
        FUZZ_CHECK(changed == KEL_LINE_FAILURE && OpenCalls(line.fake) == opens);
        FUZZ_CHECK(Same(before, line.state));
    }

    FUZZ_CHECK(line.Call(KEL_CMD_CLOSE, nullptr) == KEL_OK);
    for (const char* device : kDevices) FUZZ_CHECK(!line.fake.IsOpen(device));
    return 0;
}
