#pragma once

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

namespace krvd {

// One entry of the system's interface address list, in list order.
struct InterfaceAddress {
    std::string name;
    bool hasAddress = false;
    int family = 0;                  // AF_INET, AF_INET6, AF_PACKET, ...
    std::optional<in_addr> netmask;  // IPv4 entries only
};

// The system's interface address list (getifaddrs); nullopt when the system cannot list.
class InterfaceLister {
  public:
    virtual ~InterfaceLister() = default;
    virtual std::optional<std::vector<InterfaceAddress>> listAddresses() = 0;
};

}  // namespace krvd
