#pragma once

#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"

namespace krvctl {

// This platform's socket on the protocol port: shared with a daemon on the same machine, allowed
// to broadcast, with a receive buffer sized for a whole LAN answering at once.
// interfaces empty: every interface that is up, can broadcast and has an IPv4 address, loopback
// and point-to-point links left out (see isSearchable), as they come and go; otherwise those
// named only. Every broadcast leaves by each searched interface, every datagram is tagged with
// the interface it arrived on, and one arriving on an interface not named is dropped. Needs no
// privilege. Fails with kUsage for an unknown interface (naming those there are), else with
// kUnavailable.
OpenedEndpoint openLanEndpoint(const std::vector<std::string>& interfaces);

// Makes Ctrl-C (and SIGTERM where there is one) end a wait instead of the process, so a monitor
// can finish its output; the endpoint's interrupted() then reports it.
void stopWaitingOnInterrupt();
// Returns once Ctrl-C or SIGTERM arrived, after stopWaitingOnInterrupt().
void awaitInterrupt();

}  // namespace krvctl
