// kelhost: a small host that loads the driver library the way a supervisory
// host does (by file name, looking up KelMain) and drives it. For now it
// shows the driver information and takes a port through its lifecycle; with
// no port named it makes a pseudo-terminal to stand in for a serial line.
#include <dlfcn.h>
#include <pty.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kelwnsrp.h"
#include "teskar.h"

namespace {

using KelMainFunction = int32_t (*)(KelRequest*);

// The banner is code page 437; show its box characters on a UTF-8 terminal.
std::string Cp437ToUtf8(const char* text) {
    std::string out;
    for (const char* p = text; *p != '\0'; ++p) {
        switch (static_cast<unsigned char>(*p)) {
            case 0xC9: out += "\u2554"; break;
            case 0xCD: out += "\u2550"; break;
            case 0xBB: out += "\u2557"; break;
            case 0xBA: out += "\u2551"; break;
            case 0xC8: out += "\u255A"; break;
            case 0xBC: out += "\u255D"; break;
            case 0xDB: out += "\u2588"; break;
            case 0xB2: out += "\u2593"; break;
            case 0xB1: out += "\u2592"; break;
            case 0xB0: out += "\u2591"; break;
            default: out += static_cast<unsigned char>(*p) < 0x80 ? *p : '?';
        }
    }
    return out;
}

int Usage() {
    std::fprintf(stderr,
                 "usage: kelhost [--library PATH] [--port NAME]\n"
                 "  --library PATH  driver library to load (default: libkelwnsrp.so beside kelhost)\n"
                 "  --port NAME     port to open (default: a fresh pseudo-terminal)\n");
    return 64;
}

std::string DefaultLibraryPath(const char* argv0) {
    std::string path = argv0;
    const auto slash = path.rfind('/');
    return (slash == std::string::npos ? std::string(".") : path.substr(0, slash)) + "/libkelwnsrp.so";
}

}  // namespace

int main(int argc, char** argv) {
    std::string library = DefaultLibraryPath(argv[0]);
    std::string port;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--library") == 0 && i + 1 < argc) {
            library = argv[++i];
        } else if (std::strcmp(argv[i], "--port") == 0 && i + 1 < argc) {
            port = argv[++i];
        } else {
            return Usage();
        }
    }
    teskar_set_echo(1);

    void* driver = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (driver == nullptr) {
        std::fprintf(stderr, "kelhost: cannot load %s: %s\n", library.c_str(), dlerror());
        return 69;
    }
    auto kelMain = reinterpret_cast<KelMainFunction>(dlsym(driver, "KelMain"));
    if (kelMain == nullptr) {
        std::fprintf(stderr, "kelhost: %s has no KelMain\n", library.c_str());
        return 69;
    }

    DriverState state {};
    DriverInfo info {};
    KelRequest request {&state, KEL_CMD_DRIVER_INFO, 0, 0, &info};
    int32_t result = kelMain(&request);
    std::printf("driver information: result %d, name \"%s\"%s", result, info.name,
                Cp437ToUtf8(info.banner).c_str());
    std::printf("default line: %u baud, %u data bits, stop-bits code %u, parity code %u\n",
                info.defaultLine.baudRate, info.defaultLine.dataBits, info.defaultLine.stopBits,
                info.defaultLine.parity);

    int master = -1;
    int slave = -1;
    if (port.empty()) {
        char path[64];
        if (openpty(&master, &slave, path, nullptr, nullptr) != 0) {
            std::perror("kelhost: openpty");
            return 71;
        }
        port = std::strncmp(path, "/dev/", 5) == 0 ? path + 5 : path;
        std::printf("no port named: using the pseudo-terminal %s\n", path);
    }
    if (port.size() >= KEL_PORT_NAME_SIZE) {
        std::fprintf(stderr, "kelhost: port name %s has more than 11 characters\n", port.c_str());
        return 64;
    }

    OpenRequest open {};
    std::memcpy(open.portName, port.c_str(), port.size() + 1);
    open.enable = 1;
    open.LinkTimeout = 50;
    open.line = info.defaultLine;
    request = KelRequest {&state, KEL_CMD_OPEN, 0, 0, &open};
    result = kelMain(&request);
    std::printf("open %s: result %d, handle %s\n", port.c_str(), result,
                state.portHandle != nullptr ? "held" : "none");
    const int failures = result != 0 ? 1 : 0;

    request = KelRequest {&state, KEL_CMD_WARM_START, 0, 0, nullptr};
    std::printf("warm start: result %d\n", kelMain(&request));
    request = KelRequest {&state, KEL_CMD_CLOSE, 0, 0, nullptr};
    std::printf("close: result %d\n", kelMain(&request));
    request = KelRequest {&state, KEL_CMD_REOPEN, 0, 0, nullptr};
    std::printf("reopen: result %d\n", kelMain(&request));
    request = KelRequest {&state, KEL_CMD_CLOSE, 0, 0, nullptr};
    std::printf("close: result %d\n", kelMain(&request));

    if (slave >= 0) close(slave);
    if (master >= 0) close(master);
    return failures == 0 ? 0 : 1;
}
