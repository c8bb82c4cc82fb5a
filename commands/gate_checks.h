// Commands 3 and 4: a gate address string (GAS) is checked once against the
// gate and turned into the GateAddress that every read and write works from.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

inline constexpr std::size_t kMaxGasLength = 9;

// Why a gate address was refused: the driver's message as its format and
// one argument (the GAS as given, or upper-cased). No format for a character
// out of place, which the driver refuses without a message.
struct GateRefusal {
    const char* format = nullptr;
    const char* argument = "";
    char checked[kMaxGasLength + 1] = {};  // the upper-cased GAS an argument may point into

    GateRefusal() = default;
    GateRefusal(const GateRefusal&) = delete;  // argument may point into checked
    GateRefusal& operator=(const GateRefusal&) = delete;
};

// Command 3's check of gas against gateType, without its message: KEL_OK
// with *address filled, or KEL_REFUSED with the reason in *why.
std::int32_t CheckGateAddress(const char* gas, std::uint32_t gateType, GateAddress* address, GateRefusal* why);

std::int32_t CheckGateAddressCommand(KelRequest* request);   // 3
std::int32_t CheckBlockAddressCommand(KelRequest* request);  // 4

}  // namespace kel
