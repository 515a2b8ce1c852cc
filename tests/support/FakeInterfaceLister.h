#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "krvd/system/InterfaceLister.h"

namespace krvtest {

// A system with one IPv4 interface.
class FakeInterfaceLister : public krvd::InterfaceLister {
  public:
    explicit FakeInterfaceLister(std::string name = "br0", const char* netmask = "255.255.255.0") {
        krvd::InterfaceAddress entry;
        entry.name = std::move(name);
        entry.hasAddress = true;
        entry.family = AF_INET;
        in_addr mask{};
        inet_pton(AF_INET, netmask, &mask);
        entry.netmask = mask;
        entries_.push_back(entry);
    }

    std::optional<std::vector<krvd::InterfaceAddress>> listAddresses() override { return entries_; }

  private:
    std::vector<krvd::InterfaceAddress> entries_;
};

}  // namespace krvtest
