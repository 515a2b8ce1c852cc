#include <algorithm>

#include "krvctl/platform/NetworkInterfaces.h"
#include "protocol/TextTransforms.h"

namespace krvctl {

bool isSearchable(const NetworkInterface& interface) {
    return interface.up && interface.canBroadcast && !interface.loopback &&
           !interface.pointToPoint && !interface.ipv4.empty();
}

std::string listedNameOf(const std::vector<NetworkInterface>& interfaces, const std::string& name) {
    const auto named = [&](const NetworkInterface& interface) { return interface.name == name; };
    if (std::any_of(interfaces.begin(), interfaces.end(), named)) {
        return name;
    }
    const std::string lower = krv::lowerCased(name);
    const auto alike = std::find_if(
        interfaces.begin(), interfaces.end(),
        [&](const auto& interface) { return krv::lowerCased(interface.name) == lower; });
    return alike == interfaces.end() ? std::string() : alike->name;
}

InterfaceChoice chooseInterfaces(const InterfaceListing& listing,
                                 const std::vector<std::string>& names) {
    InterfaceChoice choice;
    if (names.empty()) {
        std::copy_if(listing.interfaces.begin(), listing.interfaces.end(),
                     std::back_inserter(choice.chosen), isSearchable);
        return choice;
    }
    for (const std::string& given : names) {
        const std::string name = listedNameOf(listing.interfaces, given);
        const auto known =
            std::find_if(listing.interfaces.begin(), listing.interfaces.end(),
                         [&](const NetworkInterface& interface) { return interface.name == name; });
        if (known == listing.interfaces.end()) {
            std::string there;
            for (const NetworkInterface& interface : listing.interfaces) {
                there += (there.empty() ? "" : ", ") + interface.name;
            }
            choice.problem = "--interface: no network interface named '" + given + "'" +
                             (there.empty() ? "" : " (there are: " + there + ")");
            choice.chosen.clear();
            return choice;
        }
        const bool repeated =
            std::any_of(choice.chosen.begin(), choice.chosen.end(),
                        [&](const NetworkInterface& chosen) { return chosen.name == name; });
        if (!repeated) {
            choice.chosen.push_back(*known);
        }
    }
    return choice;
}

}  // namespace krvctl
