#pragma once

#include <string>
#include <vector>

#include "krvctl/platform/NetworkInterfaces.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl::windows {

// One IPv4 address of an adapter: a socket of its own is bound to it, since on Windows an
// unbound socket's broadcast leaves by one adapter only.
struct AdapterAddress {
    std::string adapter;  // the friendly name, as people know the adapter
    std::string address;  // dotted
};

struct AdapterChoice {
    std::vector<AdapterAddress> addresses;
    int failure = kDone;  // kUsage for an unknown name, kUnavailable for nothing to search
    std::string problem;
};

// The addresses to search: every address of the adapter asked for (by its own name or by its
// friendly name, in any letter case), or without one of every adapter that is up and can reach
// a LAN by broadcast (not the loopback, not a tunnel). A failure names the problem: the list
// of adapters when the name is unknown, so the user can pick one.
AdapterChoice chooseAdapterAddresses(const InterfaceListing& listing, const std::string& requested);

}  // namespace krvctl::windows
