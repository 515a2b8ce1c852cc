// The guard that keeps an assignment from cutting a controller off its network, judged on the
// new values together with those the controller reports now.
#include "krvctl/operations/NetworkGuard.h"

#include <gtest/gtest.h>

#include "tests/krvctl/support/FakeNetwork.h"

namespace krvctl {
namespace {

ControllerRecord current(const std::vector<std::pair<std::string, std::string>>& fields) {
    ControllerRecord record;
    record.mac = "02:00:00:4B:10:01";
    for (const auto& [key, value] : fields) {
        record.fields.push_back({key, value, true});
    }
    return record;
}

const ControllerRecord kStatic = current({{"ip", "192.0.2.10"},
                                          {"netmask", "255.255.255.0"},
                                          {"gateway", "192.0.2.1"},
                                          {"ipscheme", "STATIC"}});

std::vector<std::string> risksOf(const std::vector<std::string>& arguments,
                                 const ControllerRecord* now = &kStatic) {
    const auto assignment = parseAssignmentArguments(arguments);
    EXPECT_TRUE(assignment) << assignment.problem();
    return cutOffRisks(assignment.value(), now);
}

std::string joined(const std::vector<std::string>& risks) {
    std::string text;
    for (const std::string& risk : risks) {
        text += risk + "\n";
    }
    return text;
}

TEST(NetworkGuard, SafeChangesPass) {
    EXPECT_EQ(joined(risksOf({"ntpip=192.0.2.123", "utcclock=now"})), "");
    EXPECT_EQ(joined(risksOf({"ip=192.0.2.77"})), "");
    // A new subnet with a gateway in it, all in one assignment.
    EXPECT_EQ(joined(risksOf({"ip=10.1.2.3", "netmask=255.255.0.0", "gateway=10.1.0.1"})), "");
    EXPECT_EQ(joined(risksOf({"ipscheme=DHCP"})), "");
    // Without the current values only what the assignment itself says can be judged.
    EXPECT_EQ(joined(risksOf({"ip=192.0.2.77"}, nullptr)), "");
}

TEST(NetworkGuard, EachRiskIsNamed) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"ip=0.0.0.0"}, "0.0.0.0 means no address"},
        {{"gateway=255.255.255.255"}, "broadcast address"},
        {{"ip=127.0.0.5"}, "loopback"},
        {{"ip=239.1.1.1"}, "multicast"},
        {{"gateway=250.0.0.1"}, "reserved"},
        {{"netmask=255.0.255.0"}, "not contiguous"},
        {{"netmask=0.0.0.0"}, "every address on the local link"},
        // The new address leaves the current gateway outside its subnet.
        {{"ip=10.0.0.5"}, "gateway 192.0.2.1 is outside the subnet 10.0.0.0/24"},
        // The narrower mask does the same.
        {{"netmask=255.255.255.252"}, "outside the subnet 192.0.2.8/30"},
        {{"gateway=192.0.2.10"}, "the controller's own address"},
        {{"ip=192.0.2.255"}, "address 192.0.2.255 is the broadcast address of 192.0.2.0/24"},
        {{"ip=192.0.2.0"}, "is the network address"},
        {{"ipscheme=DHCP", "ip=192.0.2.7"}, "with ipscheme DHCP the controller ignores"},
    };
    for (const auto& [arguments, expected] : cases) {
        const std::string risks = joined(risksOf(arguments));
        EXPECT_NE(risks.find(expected), std::string::npos) << arguments[0] << " gave: " << risks;
    }
}

TEST(NetworkGuard, AddressesOfADhcpControllerNeedTheStaticScheme) {
    const ControllerRecord dhcp =
        current({{"ip", "192.0.2.10"}, {"netmask", "255.255.255.0"}, {"ipscheme", "DHCP"}});
    EXPECT_NE(joined(risksOf({"ip=192.0.2.7"}, &dhcp)).find("add ipscheme=STATIC"),
              std::string::npos);
    // Switching to STATIC needs a gateway the controller does not report.
    EXPECT_NE(joined(risksOf({"ipscheme=STATIC"}, &dhcp)).find("give the missing ones"),
              std::string::npos);
    EXPECT_EQ(joined(risksOf({"ipscheme=STATIC", "gateway=192.0.2.1"}, &dhcp)), "");
}

}  // namespace
}  // namespace krvctl
