#include "krvd/system/SystemInterfaceLister.h"

#include <ifaddrs.h>
#include <sys/socket.h>

#include <memory>

namespace krvd {

namespace {

struct AddressListFree {
    void operator()(ifaddrs* list) const { freeifaddrs(list); }
};

}  // namespace

std::optional<std::vector<InterfaceAddress>> SystemInterfaceLister::listAddresses() {
    ifaddrs* raw = nullptr;
    if (getifaddrs(&raw) != 0) {
        return std::nullopt;
    }
    const std::unique_ptr<ifaddrs, AddressListFree> list(raw);
    std::vector<InterfaceAddress> entries;
    for (const ifaddrs* entry = list.get(); entry != nullptr; entry = entry->ifa_next) {
        InterfaceAddress address;
        address.name = entry->ifa_name ? entry->ifa_name : "";
        address.hasAddress = entry->ifa_addr != nullptr;
        address.family = address.hasAddress ? entry->ifa_addr->sa_family : 0;
        if (address.family == AF_INET && entry->ifa_netmask != nullptr) {
            address.netmask = reinterpret_cast<const sockaddr_in*>(entry->ifa_netmask)->sin_addr;
        }
        entries.push_back(std::move(address));
    }
    return entries;
}

}  // namespace krvd
