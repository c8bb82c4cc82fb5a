// How a failed call comes out in Python: the kind picks the exception class
// (all derive from kelwnsrp.Error), the message is the driver's.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

namespace kelpy {

enum class ErrorKind { kError, kGateAddress, kValueRange, kNoAnswer, kRefused };

struct LineError : std::runtime_error {
    LineError(ErrorKind kind, const std::string& message, int status = 0)
        : std::runtime_error(message), kind(kind), status(status) {}
    ErrorKind kind;
    int status;  // the controller's, for kRefused
};

}  // namespace kelpy
