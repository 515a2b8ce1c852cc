#include "krvctl/platform/windows/AdapterChoice.h"

#include "protocol/TextTransforms.h"

namespace krvctl::windows {

std::vector<std::string> listedNames(const AdapterListing& adapters,
                                     const std::vector<std::string>& requested) {
    const std::vector<NetworkInterface>& listed = adapters.listing.interfaces;
    std::vector<std::string> names;
    for (const std::string& name : requested) {
        std::string found;
        // The exact name first: two adapters may differ in letter case only on Wine.
        for (std::size_t i = 0; i < listed.size() && found.empty(); ++i) {
            if (listed[i].name == name ||
                (i < adapters.ownNames.size() && adapters.ownNames[i] == name)) {
                found = listed[i].name;
            }
        }
        for (std::size_t i = 0; i < listed.size() && found.empty(); ++i) {
            if (krv::lowerCased(listed[i].name) == krv::lowerCased(name)) {
                found = listed[i].name;
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
