#include "serial/open_failure.h"

#include <system_error>

#include "serial/serial_port.h"

namespace kel {
namespace {

std::string ResultMeaning(int result) {
    switch (result) {
        case kSerialOpenFailed: return "it could not be opened, or its timeouts could not be set";
        case kSerialStateUnreadable: return "its line state could not be read";
        case kSerialStateRefused: return "it refused the line settings";
        default: return "serial layer result " + std::to_string(result);
    }
}

}  // namespace

std::string OpenFailureText(const std::string& port, int result, int errorNumber) {
    // The system's message for errno, as strerror gives it, from any thread.
    const std::string reason = errorNumber != 0 ? std::generic_category().message(errorNumber) : ResultMeaning(result);
    return "cannot open port " + port + ": " + reason;
}

}  // namespace kel
