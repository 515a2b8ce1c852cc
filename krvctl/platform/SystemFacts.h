#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "krvctl/platform/NetworkInterfaces.h"

namespace krvctl {

// What krvctl doctor learns about this machine before it sends anything: each platform fills
// these, the diagnosis reads only them. Nothing here is read from the LAN.

// Where the system sends a datagram for 255.255.255.255 when no interface is named.
struct BroadcastRoute {
    std::string interface;      // the interface's name; empty when there is no such route
    std::string sourceAddress;  // the address the system would send from, dotted
    std::string problem;        // why there is no route ("Network is unreachable"), or empty
};

// A socket bound to the protocol port.
struct PortHolder {
    std::int64_t pid = 0;   // 0 when the process could not be seen
    std::string program;    // the process's name; empty when it could not be seen
    std::int64_t uid = -1;  // the socket's owner; -1 when unknown
    std::string address;    // the local address it is bound to: 0.0.0.0, ::, 192.0.2.20
};

struct PortFacts {
    std::vector<PortHolder> holders;  // this process's own sockets left out
    // True when other users' processes cannot be named (an unprivileged Linux user): their
    // sockets are listed with pid 0.
    bool otherUsersHidden = false;
    // True when a socket sharing the port (SO_REUSEADDR, as krvctl opens it) cannot be bound:
    // some holder does not share it.
    bool refusesSharing = false;
    std::string problem;  // why the table could not be read, or empty
};

struct FirewallFacts {
    bool rulesRead = false;
    // The firewall's rules as text, one rule per line where the platform can; the diagnosis
    // quotes the lines that name the port. Read only where that needs no prompt.
    std::string rules;
    std::string whyNotRead;  // "needs root", "nft is not installed"...
};

// How this platform does what the findings advise. Placeholders: {interface} (the friendly
// name), {address}, {prefix}, {netmask}, {port}.
struct PlatformAdvice {
    std::string bringUp;            // sudo ip link set {interface} up
    std::string giveStaticAddress;  // sudo ip addr add {address}/{prefix} dev {interface}
    std::string allowInbound;       // how to let inbound UDP {port} through the firewall
    std::string showFirewallRules;  // sudo nft list ruleset
    std::string showPortHolders;    // sudo ss -ulpn 'sport = :{port}'
};

struct SystemFacts {
    InterfaceListing interfaces;
    BroadcastRoute broadcastRoute;
    PortFacts port;
    FirewallFacts firewall;
    PlatformAdvice advice;
};

// One implementation per platform (platform/linux, platform/windows). Each reads only this
// machine's own state and sends nothing.
BroadcastRoute findBroadcastRoute(const std::vector<NetworkInterface>& interfaces);
PortFacts findPortHolders(std::uint16_t port);
FirewallFacts readFirewallRules();
PlatformAdvice platformAdvice();

// All of the above, the interface list included.
SystemFacts gatherSystemFacts(std::uint16_t port);

}  // namespace krvctl
