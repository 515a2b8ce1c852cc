#pragma once

#include <arpa/inet.h>
#include <sys/socket.h>

#include <optional>
#include <string>
#include <vector>

#include "krvd/system/InterfaceLister.h"

namespace krvtest {

// The system's interface address list, as a test lays it out; or a failing listing.
class FakeInterfaceLister : public krvd::InterfaceLister {
  public:
    void add(const std::string& name, int family, const char* netmask = nullptr) {
        krvd::InterfaceAddress entry;
        entry.name = name;
        entry.hasAddress = true;
        entry.family = family;
        if (netmask != nullptr) {
            in_addr mask{};
            inet_pton(AF_INET, netmask, &mask);
            entry.netmask = mask;
        }
        entries.push_back(entry);
    }
    std::optional<std::vector<krvd::InterfaceAddress>> listAddresses() override {
        if (failing) {
            return std::nullopt;
        }
        return entries;
    }

    std::vector<krvd::InterfaceAddress> entries;
    bool failing = false;
};

}  // namespace krvtest
