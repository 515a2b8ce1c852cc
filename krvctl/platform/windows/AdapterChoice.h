#pragma once

#include <string>
#include <vector>

#include "krvctl/platform/NetworkInterfaces.h"

namespace krvctl::windows {

// The adapters as Windows lists them. The listing names each by its friendly name ("Ethernet
// 2"): unique on a machine, what ipconfig, netsh and the Network Connections window show, so
// it is what krvctl prints and tags replies with. ownNames[i] is interface i's own name
// ({GUID}), which --interface takes as well.
struct AdapterListing {
    InterfaceListing listing;
    std::vector<std::string> ownNames;
};

AdapterListing listAdapters();

// The names --interface gave, each as the listing names it: a friendly name in any letter case,
// or an adapter's own name. A name no adapter has stays as given, for chooseInterfaces to
// refuse with the names there are.
std::vector<std::string> listedNames(const AdapterListing& adapters,
                                     const std::vector<std::string>& requested);

// One IPv4 address of an adapter: a socket of its own is bound to it, since on Windows an
// unbound socket's broadcast leaves by one adapter only.
struct AdapterAddress {
    std::string adapter;  // the listing's name for it
    std::string address;  // dotted
};

std::vector<AdapterAddress> addressesToBind(const std::vector<NetworkInterface>& chosen);

}  // namespace krvctl::windows
