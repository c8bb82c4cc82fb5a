#include "commands/lifecycle.h"

#include <cstring>

#include "commands/driver_info.h"
#include "commands/driver_line.h"
#include "host/configuration.h"
#include "host/host_log.h"
#include "serial/serial_port.h"

namespace kel {
namespace {

// A host's name field holds at most 11 characters and its NUL; a name that
// does not end within the field is refused, never read past it.
bool PortNameFits(const char (&name)[KEL_PORT_NAME_SIZE]) {
    return std::memchr(name, '\0', KEL_PORT_NAME_SIZE) != nullptr;
}

// The port's handle, or null when it cannot be opened.
PortHandle OpenWithSettings(const PortSettings& settings) {
    if (!PortNameFits(settings.portName)) return nullptr;
    PortHandle handle = nullptr;
    const LineParameters line {settings.line.baudRate, settings.line.dataBits, settings.line.stopBits,
                               settings.line.parity};
    const int result = OpenPort(settings.portName, &line, settings.handshakeFlags, &handle);
    return result == kSerialOk ? handle : nullptr;
}

// A successful open while another handle is still held supersedes that
// handle: close it instead of leaking the device.
void TakeHandle(DriverState* state, PortHandle handle) {
    if (state->portHandle != nullptr && state->portHandle != handle) {
        ClosePort(state->portHandle);
        ForgetDriverPort(state->portHandle);
    }
    state->portHandle = handle;
}

}  // namespace

std::int32_t OpenCommand(KelRequest* request) {
    DriverState* state = request->state;
    const auto* block = static_cast<const OpenRequest*>(request->block);
    state->portOpen = block->enable;
    if (block->enable == 0) return KEL_OK;

    PortSettings settings {};
    const bool nameFits = PortNameFits(block->portName);
    if (nameFits) std::memcpy(settings.portName, block->portName, KEL_PORT_NAME_SIZE);
    settings.line = block->line;
    settings.handshakeFlags = kOpenHandshakeFlags;

    const PortHandle handle = nameFits ? OpenWithSettings(settings) : nullptr;
    if (handle == nullptr) {
        char shown[KEL_PORT_NAME_SIZE + 1] = {};
        std::memcpy(shown, block->portName, KEL_PORT_NAME_SIZE);
        HostLog(kLogInfo, "KEL%s : Fail to open %s", kDriverName, shown);
        return KEL_LINE_FAILURE;
    }
    TakeHandle(state, handle);
    AttachDriverPort(handle, block->LinkTimeout);
    state->LinkTimeout = block->LinkTimeout;
    state->portSettings = settings;
    state->WriteEnablePending = 0;
    HostLog(kLogInfo, "KELSRP: Loaded succesfully");
    ReadConfiguration(kConfigurationFileName);
    return KEL_OK;
}

std::int32_t WarmStartCommand(KelRequest* request) {
    DriverState* state = request->state;
    HostLog(kLogInfo, "KELSRP: Warm start");
    if (state->portHandle != nullptr) {
        PurgeInput(state->portHandle, static_cast<std::uint32_t>(LinkOf(*state).timings().replyBudget.count()));
    }
    state->WriteEnablePending = 0;
    return KEL_OK;
}

std::int32_t CloseCommand(KelRequest* request) {
    DriverState* state = request->state;
    if (state->portHandle == nullptr) return KEL_OK;
    if (ClosePort(state->portHandle) != kSerialOk) return KEL_LINE_FAILURE;
    ForgetDriverPort(state->portHandle);
    state->portHandle = nullptr;
    return KEL_OK;
}

std::int32_t ReopenCommand(KelRequest* request) {
    DriverState* state = request->state;
    const PortHandle handle = OpenWithSettings(state->portSettings);
    if (handle == nullptr) return KEL_LINE_FAILURE;
    TakeHandle(state, handle);
    ReattachDriverPort(handle);
    state->portOpen = 1;
    return KEL_OK;
}

std::int32_t ChangePortCommand(KelRequest* request) {
    DriverState* state = request->state;
    const auto* block = static_cast<const ChangePortRequest*>(request->block);
    // Refused before anything changes: the name cannot be stored.
    if (!PortNameFits(block->portName)) return KEL_LINE_FAILURE;

    if (block->LinkTimeout != 0) state->LinkTimeout = block->LinkTimeout;
    PortSettings& settings = state->portSettings;
    const bool sameName = PortNameFits(settings.portName) &&
                          std::strcmp(block->portName, settings.portName) == 0;
    if (!sameName && state->portHandle != nullptr) {
        if (ClosePort(state->portHandle) == kSerialOk) {
            ForgetDriverPort(state->portHandle);
            state->portHandle = nullptr;
        }
    }
    std::memcpy(settings.portName, block->portName, KEL_PORT_NAME_SIZE);
    if (block->line.baudRate != 0) settings.line = block->line;

    const PortHandle handle = OpenWithSettings(settings);
    if (handle == nullptr) return KEL_LINE_FAILURE;
    TakeHandle(state, handle);
    state->portOpen = 1;
    AttachDriverPort(handle, state->LinkTimeout);
    return KEL_OK;
}

}  // namespace kel
