// The kernel's RS-485 request (TIOCSRS485) for the seam's settings.
#pragma once

#include <linux/serial.h>

#include "serial/rs485.h"

namespace kel::posix {

// current as the driver reported it (TIOCGRS485), changed to settings:
// enabled, RTS raised while sending and dropped after, the two delays.
// Flags of the board's own (bus termination, receiving while sending) are
// kept as they were.
serial_rs485 Rs485Request(const serial_rs485& current, const Rs485Settings& settings);

}  // namespace kel::posix
