#include "serial/posix/posix_rs485.h"

namespace kel::posix {

serial_rs485 Rs485Request(const serial_rs485& current, const Rs485Settings& settings) {
    serial_rs485 request = current;
    using Flags = decltype(request.flags);
    if (!settings.enabled) {
        request.flags &= ~static_cast<Flags>(SER_RS485_ENABLED);
        return request;
    }
    request.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    request.flags &= ~static_cast<Flags>(SER_RS485_RTS_AFTER_SEND);
    request.delay_rts_before_send = settings.delayBeforeSendMs;
    request.delay_rts_after_send = settings.delayAfterSendMs;
    return request;
}

}  // namespace kel::posix
