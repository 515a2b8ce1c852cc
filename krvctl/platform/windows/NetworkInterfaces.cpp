#include "krvctl/platform/NetworkInterfaces.h"

// Winsock's headers before the IP helper's, which builds on them.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>

#include <cstddef>
#include <vector>

#include "krvctl/platform/windows/AdapterChoice.h"
#include "krvctl/platform/windows/Winsock.h"

namespace krvctl {

namespace {

std::string dotted(const in_addr& address) {
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

// Windows names no broadcast address: it is the subnet's, from the prefix.
std::string broadcastOf(const in_addr& address, unsigned prefixLength) {
    if (prefixLength >= 31) {
        return {};
    }
    const u_long host = ~0UL >> prefixLength;
    in_addr broadcast{};
    broadcast.s_addr = htonl((ntohl(address.s_addr) | host) & 0xFFFFFFFFUL);
    return dotted(broadcast);
}

NetworkInterface describe(const IP_ADAPTER_ADDRESSES& adapter, const std::string& ownName) {
    NetworkInterface entry;
    entry.friendlyName = windows::narrowed(adapter.FriendlyName);
    if (entry.friendlyName.empty()) {
        entry.friendlyName = ownName;
    }
    entry.name = entry.friendlyName;
    entry.index = adapter.IfIndex;
    entry.up = adapter.OperStatus == IfOperStatusUp;
    entry.loopback = adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    entry.pointToPoint = adapter.IfType == IF_TYPE_PPP || adapter.IfType == IF_TYPE_TUNNEL;
    entry.canBroadcast = !entry.loopback && !entry.pointToPoint;
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter.FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
        const sockaddr* address = unicast->Address.lpSockaddr;
        if (address == nullptr || address->sa_family != AF_INET) {
            continue;
        }
        const in_addr ipv4 = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        InterfaceAddress listed;
        listed.address = dotted(ipv4);
        listed.prefixLength = unicast->OnLinkPrefixLength;
        if (entry.canBroadcast) {
            listed.broadcast = broadcastOf(ipv4, unicast->OnLinkPrefixLength);
        }
        entry.ipv4.push_back(std::move(listed));
    }
    return entry;
}

}  // namespace

namespace windows {

AdapterListing listAdapters() {
    AdapterListing adapters;
    InterfaceListing& listing = adapters.listing;
    constexpr ULONG kFlags =
        GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
    // Aligned for the records the call writes; adapters may come and go between the calls.
    std::vector<std::max_align_t> buffer;
    ULONG size = 16 * 1024;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer.assign(size / sizeof(std::max_align_t) + 1, {});
        size = static_cast<ULONG>(buffer.size() * sizeof(std::max_align_t));
        result =
            ::GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                   reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    if (result == ERROR_NO_DATA) {
        return adapters;
    }
    if (result != NO_ERROR) {
        listing.problem = "cannot list the network adapters: " + errorText(result);
        return adapters;
    }
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data());
         adapter != nullptr; adapter = adapter->Next) {
        std::string ownName = adapter->AdapterName != nullptr ? adapter->AdapterName : "";
        listing.interfaces.push_back(describe(*adapter, ownName));
        adapters.ownNames.push_back(std::move(ownName));
    }
    return adapters;
}

}  // namespace windows

InterfaceListing listNetworkInterfaces() {
    return windows::listAdapters().listing;
}

}  // namespace krvctl
