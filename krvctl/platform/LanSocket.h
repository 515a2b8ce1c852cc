#pragma once

#include <string>

#include "krvctl/lan/Endpoint.h"

namespace krvctl {

// This platform's socket on the protocol port: shared with a daemon on the same machine, allowed
// to broadcast, with a receive buffer sized for a whole LAN answering at once.
// interface empty: the system's route for 255.255.255.255 decides; otherwise sends and receives
// on that interface only. Fails with kUsage for an unknown interface, else with kUnavailable.
OpenedEndpoint openLanEndpoint(const std::string& interface);

// Makes Ctrl-C (and SIGTERM where there is one) end a wait instead of the process, so a monitor
// can finish its output; the endpoint's interrupted() then reports it.
void stopWaitingOnInterrupt();
// Returns once Ctrl-C or SIGTERM arrived, after stopWaitingOnInterrupt().
void awaitInterrupt();

}  // namespace krvctl
