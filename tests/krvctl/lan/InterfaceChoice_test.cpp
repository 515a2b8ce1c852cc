// Which of a laptop's interfaces a search uses: every one that can carry a broadcast to a
// controller LAN unless the engineer names some, and a name that does not exist is refused
// with the names that do.
#include <gtest/gtest.h>

#include "krvctl/platform/NetworkInterfaces.h"

namespace krvctl {
namespace {

NetworkInterface interface(std::string name, bool withAddress = true) {
    NetworkInterface entry;
    entry.name = std::move(name);
    entry.up = true;
    entry.canBroadcast = true;
    if (withAddress) {
        entry.ipv4.push_back({"192.0.2.1", 24, "192.0.2.255"});
    }
    return entry;
}

InterfaceListing laptop() {
    InterfaceListing listing;
    NetworkInterface loopback = interface("lo");
    loopback.loopback = true;
    loopback.canBroadcast = false;
    NetworkInterface down = interface("eth3");
    down.up = false;
    NetworkInterface vpn = interface("tun0");
    vpn.pointToPoint = true;
    vpn.canBroadcast = false;
    NetworkInterface noBroadcast = interface("wg0");
    noBroadcast.canBroadcast = false;
    listing.interfaces = {
        loopback, interface("wlan0"), interface("eth1"), down,
        vpn,      noBroadcast,        interface("eth2"), interface("docker-less", false)};
    return listing;
}

TEST(InterfaceChoice, ByDefaultEveryInterfaceThatCanReachALanAndNamedOnesAsGiven) {
    struct Case {
        std::vector<std::string> named;
        std::vector<std::string> chosen;
        std::string problem;
    };
    const std::vector<Case> cases = {
        {{}, {"wlan0", "eth1", "eth2"}, ""},
        {{"eth2", "eth1", "eth2"}, {"eth2", "eth1"}, ""},
        // Asked for by name, also one the default leaves out.
        {{"eth3", "tun0"}, {"eth3", "tun0"}, ""},
        // Typed in another letter case, as on Windows: the listing's name.
        {{"ETH1", "eth1"}, {"eth1"}, ""},
        {{"eth1", "eth9"},
         {},
         "--interface: no network interface named 'eth9' (there are: lo, wlan0, eth1, eth3, tun0, "
         "wg0, eth2, docker-less)"},
    };
    for (const Case& c : cases) {
        const InterfaceChoice choice = chooseInterfaces(laptop(), c.named);
        std::vector<std::string> chosen;
        for (const NetworkInterface& each : choice.chosen) {
            chosen.push_back(each.name);
        }
        EXPECT_EQ(chosen, c.chosen) << c.problem;
        EXPECT_EQ(choice.problem, c.problem);
    }
}

}  // namespace
}  // namespace krvctl
