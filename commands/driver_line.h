// The link context of each port the driver has open, shared by every
// instance that holds the port, and what a call changed kept in the
// instance.
#pragma once

#include "kelwnsrp.h"
#include "link/link_context.h"
#include "protocol/areas.h"

namespace kel {

// A freshly opened port: its context starts afresh, with the read timeout
// of the instance's LinkTimeout set on the port.
void AttachDriverPort(PortHandle port, std::uint32_t linkTimeout);
// A port reopened with the timeout the open gave it, which stays.
void ReattachDriverPort(PortHandle port);
// Forgets a port that was closed.
void ForgetDriverPort(PortHandle port);

// The context of the instance's port, resolved once per call, with the
// instance's write-mode flag, and the instance's baud rate and the configured
// reply pause as its settings (their timings worked out again only when one
// of them changed).
// A port the driver did not see opened gets a context made from the
// instance's LinkTimeout.
LinkContext& LinkOf(const DriverState& state);
// Keeps the write-mode flag; a flag the call did not change stays as the
// host holds it.
void KeepLink(const LinkContext& link, DriverState* state);

Item ItemOf(const GateAddress& gate, int bytes);

}  // namespace kel
