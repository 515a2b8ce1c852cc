#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/Endpoint.h"

namespace krvctl {

// One interface searched with a QUERY from the tool's own socket on the protocol port. The
// system hands a broadcast back to the sending host's sockets on that port through the same
// inbound firewall hook a controller's reply takes (with the sending interface as the way in),
// so the tool hearing its own QUERY proves that way in is open, and not hearing it means this
// machine's firewall drops inbound datagrams to the port.
struct InterfaceSearch {
    std::string interface;
    int openFailure = 0;  // the exit status opening the endpoint would give; 0 when it opened
    std::string openProblem;
    std::string sendProblem;  // why the QUERY could not leave; empty when it did
    int queriesSent = 0;
    bool ownQueryCameBack = false;
    std::vector<ControllerRecord> controllers;  // each MAC once, sorted by address
    std::uint64_t notKept = 0;   // replies beyond kMostControllersPerInterface, not listed
    std::uint64_t setApart = 0;  // replies without a MAC, or with a malformed one
    std::uint64_t dropped = 0;   // datagrams the system dropped unread
};

// A LAN rarely holds more; a flood of strangers must not grow the tool without end.
inline constexpr std::size_t kMostControllersPerInterface = 1024;

// Searches every named interface at once for the window, re-sending while nothing answered on
// it as discover does. A discovery round: the QUERY asks, it changes nothing on a controller.
std::vector<InterfaceSearch> searchInterfaces(
    const std::vector<std::string>& interfaces,
    const std::function<OpenedEndpoint(const std::string& interface)>& open, Clock& clock,
    const std::function<std::uint64_t()>& random, const Timing& timing);

}  // namespace krvctl
