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

}  // namespace krvctl
