#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace krvctl {

struct InterfaceAddress {
    std::string address;  // IPv4, dotted
    int prefixLength = 0;
    std::string broadcast;  // the subnet's broadcast address, dotted; empty when it has none
};

// A network interface as this platform lists it.
struct NetworkInterface {
    std::string name;          // what --interface takes: eth0, or a Windows adapter's own name
    std::string friendlyName;  // what the system shows people ("Ethernet 2"); name where none
    unsigned index = 0;
    bool up = false;
    bool loopback = false;
    bool pointToPoint = false;  // tunnels and VPNs: no broadcast reaches a LAN through them
    bool canBroadcast = false;
    std::vector<InterfaceAddress> ipv4;
};

struct InterfaceListing {
    std::vector<NetworkInterface> interfaces;
    std::string problem;  // why the list could not be read; empty on success
};

// Every interface of this machine, in the system's order.
InterfaceListing listNetworkInterfaces();

// The same on every platform (InterfaceChoice.cpp):

// Whether a search without --interface uses it: up, able to broadcast and with an IPv4 address;
// loopback and point-to-point links (VPN tunnels) reach no controller LAN.
bool isSearchable(const NetworkInterface& interface);

// The listing's own name for a name given to --interface: the same name, else the one that
// differs from it in letter case only, the first such (Windows' adapter names ignore case);
// empty for none.
std::string listedNameOf(const std::vector<NetworkInterface>& interfaces, const std::string& name);

struct InterfaceChoice {
    std::vector<NetworkInterface> chosen;
    std::string problem;  // a usage problem naming the interfaces there are; empty otherwise
};

// names empty: every searchable interface; otherwise each named one once, in the order given,
// also one that is down (the engineer asked for it). A name the listing lacks is a problem.
InterfaceChoice chooseInterfaces(const InterfaceListing& listing,
                                 const std::vector<std::string>& names);

}  // namespace krvctl
