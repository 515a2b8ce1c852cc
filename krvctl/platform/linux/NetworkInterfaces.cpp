#include "krvctl/platform/NetworkInterfaces.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>

namespace krvctl {

namespace {

std::string dotted(const sockaddr* address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                sizeof text);
    return text;
}

NetworkInterface& entryFor(std::vector<NetworkInterface>& interfaces, const ifaddrs& entry) {
    const auto found =
        std::find_if(interfaces.begin(), interfaces.end(),
                     [&](const NetworkInterface& known) { return known.name == entry.ifa_name; });
    if (found != interfaces.end()) {
        return *found;
    }
    NetworkInterface& added = interfaces.emplace_back();
    added.name = entry.ifa_name;
    added.friendlyName = entry.ifa_name;
    added.index = ::if_nametoindex(entry.ifa_name);
    added.up = (entry.ifa_flags & IFF_UP) != 0 && (entry.ifa_flags & IFF_RUNNING) != 0;
    added.loopback = (entry.ifa_flags & IFF_LOOPBACK) != 0;
    added.pointToPoint = (entry.ifa_flags & IFF_POINTOPOINT) != 0;
    added.canBroadcast = (entry.ifa_flags & IFF_BROADCAST) != 0;
    return added;
}

}  // namespace

InterfaceListing listNetworkInterfaces() {
    InterfaceListing listing;
    ifaddrs* first = nullptr;
    if (::getifaddrs(&first) != 0) {
        listing.problem =
            std::string("cannot list the network interfaces: ") + std::strerror(errno);
        return listing;
    }
    const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(first, ::freeifaddrs);
    for (const ifaddrs* entry = first; entry != nullptr; entry = entry->ifa_next) {
        // Every interface is listed, also one with no IPv4 address: that is worth a word.
        NetworkInterface& interface = entryFor(listing.interfaces, *entry);
        if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        InterfaceAddress address;
        address.address = dotted(entry->ifa_addr);
        if (entry->ifa_netmask != nullptr) {
            const auto mask =
                ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr.s_addr);
            address.prefixLength = std::popcount(mask);
        }
        if ((entry->ifa_flags & IFF_BROADCAST) != 0 && entry->ifa_broadaddr != nullptr) {
            address.broadcast = dotted(entry->ifa_broadaddr);
        }
        interface.ipv4.push_back(std::move(address));
    }
    return listing;
}

}  // namespace krvctl
