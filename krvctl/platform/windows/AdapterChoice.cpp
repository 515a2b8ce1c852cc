#include "krvctl/platform/windows/AdapterChoice.h"

namespace krvctl::windows {

std::vector<std::string> listedNames(const AdapterListing& adapters,
                                     const std::vector<std::string>& requested) {
    const std::vector<NetworkInterface>& listed = adapters.listing.interfaces;
    std::vector<std::string> names;
    for (const std::string& name : requested) {
        std::string found = listedNameOf(listed, name);
        if (found != name) {
            // An adapter's own name ({GUID}) before a friendly name in another letter case.
            for (std::size_t i = 0; i < listed.size() && i < adapters.ownNames.size(); ++i) {
                if (adapters.ownNames[i] == name) {
                    found = listed[i].name;
                    break;
                }
            }
        }
        names.push_back(found.empty() ? name : found);
    }
    return names;
}

std::vector<AdapterAddress> addressesToBind(const std::vector<NetworkInterface>& chosen) {
    std::vector<AdapterAddress> addresses;
    for (const NetworkInterface& adapter : chosen) {
        for (const InterfaceAddress& address : adapter.ipv4) {
            addresses.push_back({adapter.name, address.address});
        }
    }
    return addresses;
}

}  // namespace krvctl::windows
