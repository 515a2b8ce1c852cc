#include "krvctl/platform/windows/AdapterChoice.h"

#include "protocol/TextTransforms.h"

namespace krvctl::windows {

namespace {

bool named(const NetworkInterface& adapter, const std::string& requested) {
    return adapter.name == requested ||
           krv::lowerCased(adapter.friendlyName) == krv::lowerCased(requested);
}

bool searchable(const NetworkInterface& adapter) {
    return adapter.up && !adapter.loopback && !adapter.pointToPoint && adapter.canBroadcast;
}

std::string adapterNames(const InterfaceListing& listing) {
    std::string names;
    for (const NetworkInterface& adapter : listing.interfaces) {
        if (adapter.loopback) {
            continue;
        }
        names += (names.empty() ? "" : ", ") + ("\"" + adapter.friendlyName + "\"");
    }
    return names.empty() ? "none" : names;
}

}  // namespace

AdapterChoice chooseAdapterAddresses(const InterfaceListing& listing,
                                     const std::string& requested) {
    AdapterChoice choice;
    const auto fail = [&choice](int status, std::string problem) {
        choice.failure = status;
        choice.problem = std::move(problem);
        return std::move(choice);
    };
    if (!listing.problem.empty()) {
        return fail(kUnavailable, listing.problem);
    }
    std::vector<AdapterAddress>& chosen = choice.addresses;
    bool found = false;
    for (const NetworkInterface& adapter : listing.interfaces) {
        if (requested.empty() ? !searchable(adapter) : !named(adapter, requested)) {
            continue;
        }
        found = true;
        for (const InterfaceAddress& address : adapter.ipv4) {
            chosen.push_back({adapter.friendlyName, address.address});
        }
    }
    if (!requested.empty() && !found) {
        return fail(kUsage, "--interface: no network adapter named '" + requested +
                                "' (adapters: " + adapterNames(listing) + ")");
    }
    if (chosen.empty()) {
        return fail(kUnavailable,
                    requested.empty()
                        ? "no network adapter is up with an IPv4 address to search (adapters: " +
                              adapterNames(listing) + ")"
                        : "the network adapter '" + requested + "' has no IPv4 address");
    }
    return choice;
}

}  // namespace krvctl::windows
