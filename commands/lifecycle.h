// The commands that bring a driver instance's port up and down.
#pragma once

#include <cstdint>

#include "kelwnsrp.h"

namespace kel {

inline constexpr std::uint16_t kOpenHandshakeFlags = 8;

std::int32_t OpenCommand(KelRequest* request);         // 1
std::int32_t WarmStartCommand(KelRequest* request);    // 2
std::int32_t CloseCommand(KelRequest* request);        // 11, 12
std::int32_t ReopenCommand(KelRequest* request);       // 13
std::int32_t ChangePortCommand(KelRequest* request);   // 15

}  // namespace kel
