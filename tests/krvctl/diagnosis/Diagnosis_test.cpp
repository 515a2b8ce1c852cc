// The findings over snapshots of a machine's facts and its interfaces' searches: which
// interfaces are searched, what each finding says and advises, how they are grouped, and the
// exit status.
#include "krvctl/diagnosis/Diagnosis.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include "krvctl/values/ExitStatus.h"

namespace krvctl {
namespace {

using ::testing::ElementsAreArray;
using ::testing::HasSubstr;

NetworkInterface withAddress(const std::string& name, const std::string& address) {
    NetworkInterface interface {
        name, name, 2, true, false, false, true, {}
    };
    interface.ipv4.push_back({address, 24, ""});
    return interface;
}
NetworkInterface unaddressed(const std::string& name) {
    return {name, name, 3, true, false, false, true, {}};
}
NetworkInterface down(const std::string& name) {
    return {name, name, 4, false, false, false, true, {}};
}
NetworkInterface tunnel(const std::string& name) {
    NetworkInterface interface = withAddress(name, "10.8.0.2");
    interface.pointToPoint = true;
    interface.canBroadcast = false;
    return interface;
}
NetworkInterface loopback() {
    NetworkInterface interface = withAddress("lo", "127.0.0.1");
    interface.loopback = true;
    interface.canBroadcast = false;
    return interface;
}

// An interface searched: whether the tool's own QUERY came back and how many answered.
InterfaceSearch searched(const std::string& name, bool ownQueryCameBack, int controllers = 0) {
    InterfaceSearch search;
    search.interface = name;
    search.queriesSent = 1;
    search.ownQueryCameBack = ownQueryCameBack;
    for (int i = 0; i < controllers; ++i) {
        ControllerRecord record;
        record.mac = "02:00:00:4B:10:0" + std::to_string(i + 1);
        record.from = "192.168.1." + std::to_string(i + 20);
        search.controllers.push_back(record);
    }
    return search;
}

PlatformAdvice linuxAdvice() {
    return {"sudo ip link set {interface} up",
            "sudo ip addr add {address}/{prefix} dev {interface}",
            "sudo nft insert rule inet filter input udp dport {port} accept",
            "sudo nft list ruleset", "sudo ss -ulpn 'sport = :{port}'"};
}

struct Case {
    std::string name;
    std::vector<NetworkInterface> interfaces;
    std::string routeInterface;  // empty: no route
    std::vector<InterfaceSearch> searches;
    std::vector<std::string> expected;  // "severity code interface", in the report's order
    int status;
    std::vector<std::pair<std::string, std::string>> says = {};  // code, text in seen or next
    PortFacts port = {};
    std::string rules = {};
    PlatformAdvice advice = linuxAdvice();
};

std::vector<Case> cases() {
    InterfaceSearch portRefused;
    portRefused.interface = "eth0";
    portRefused.openFailure = kUnavailable;
    portRefused.openProblem = "UDP port 7217 is held by a program that does not share it";
    InterfaceSearch notSent = searched("eth0", false);
    notSent.queriesSent = 0;
    notSent.sendProblem = "Network is down";
    PortHolder otherd{99, "otherd", 0, "0.0.0.0"};
    PortHolder unseen{0, "", 1000, "0.0.0.0"};
    NetworkInterface windowsCable = unaddressed("{4D36E972}");
    windowsCable.friendlyName = "Ethernet 2";
    PlatformAdvice windows = linuxAdvice();
    windows.giveStaticAddress =
        "netsh interface ipv4 set address name=\"{interface}\" static {address} {netmask}";
    return {
        {"all fine",
         {loopback(), withAddress("eth0", "192.168.1.10")},
         "eth0",
         {searched("eth0", true, 2)},
         {"note answered eth0", "note broadcast-route eth0"},
         kDone},
        {"an interface down beside a working one",
         {withAddress("eth0", "192.168.1.10"), down("eth1")},
         "eth0",
         {searched("eth0", true, 1)},
         {"note answered eth0", "note broadcast-route eth0", "note interface-down eth1"},
         kDone,
         {{"interface-down", "sudo ip link set eth1 up"}}},
        {"a cable without an address beside WiFi",
         {withAddress("wlan0", "10.0.0.5"), unaddressed("eth1")},
         "wlan0",
         {searched("wlan0", true)},
         {"warning no-answer wlan0", "note broadcast-route wlan0", "warning no-ipv4 eth1"},
         kNoAnswer,
         {{"no-ipv4", "eth1 is up but has no IPv4 address: no DHCP server answered"},
          {"no-ipv4", "sudo ip addr add 192.168.1.10/24 dev eth1"}}},
        {"a tunnel holding the route is left out",
         {tunnel("tun0"), withAddress("eth0", "192.168.1.10")},
         "tun0",
         {searched("eth0", true, 1)},
         {"warning route-elsewhere tun0", "note point-to-point tun0", "note answered eth0"},
         kDone},
        {"the route leads to WiFi, the controllers are on the cable",
         {withAddress("wlan0", "10.0.0.5"), withAddress("eth1", "192.168.1.10")},
         "wlan0",
         {searched("wlan0", true), searched("eth1", true, 6)},
         {"warning route-elsewhere wlan0", "note no-answer wlan0", "note answered eth1"},
         kDone,
         {{"route-elsewhere", "leads out of wlan0"},
          {"route-elsewhere", "controllers answered on eth1"},
          {"route-elsewhere", "krvctl --interface eth1 discover"}}},
        {"the port held by a program that does not share it",
         {withAddress("eth0", "192.168.1.10")},
         "eth0",
         {portRefused},
         {"note broadcast-route eth0", "problem port-held "},
         kUnavailable,
         {{"port-held", "otherd (pid 99) on 0.0.0.0, which does not share it"}},
         {{otherd}, false, false, ""}},
        // Known before any search: nothing else may be searchable.
        {"the port refused to be shared, nothing searched",
         {down("eth0")},
         "eth0",
         {},
         {"warning route-unsearchable eth0", "note interface-down eth0",
          "problem nothing-to-search ", "problem port-held "},
         kUnavailable,
         {{"route-unsearchable", "krvctl --interface NAME discover"}},
         {{otherd}, false, true, ""}},
        {"a holder that shares the port, hidden from an ordinary user",
         {withAddress("eth0", "192.168.1.10")},
         "eth0",
         {searched("eth0", true, 1)},
         {"note answered eth0", "note broadcast-route eth0", "note port-shared "},
         kDone,
         {{"port-shared", "a process of user 1000 that only root can name"},
          {"port-shared", "sudo ss -ulpn 'sport = :7217'"}},
         {{unseen}, true, false, ""}},
        {"the firewall drops on one interface, the other answers",
         {withAddress("wlan0", "10.0.0.5"), withAddress("eth1", "192.168.1.10")},
         "eth1",
         {searched("wlan0", false), searched("eth1", true, 1)},
         {"problem firewall-drops wlan0", "note answered eth1", "note broadcast-route eth1"},
         kUnavailable,
         {{"firewall-drops", "firewall likely drops inbound UDP 7217 on wlan0"},
          {"firewall-drops", "[udp dport 7217 drop]"},
          {"firewall-drops", "udp dport 7217 accept"}},
         {},
         "table inet t {\n  chain in {\n    udp dport 7217 drop\n    tcp dport 22 drop\n  }\n}"},
        // A rule singling out the controllers' addresses cannot be seen this way; their
        // answers prove the way in open.
        {"controllers answered though the own QUERY did not come back",
         {withAddress("eth0", "192.168.1.10")},
         "eth0",
         {searched("eth0", false, 1)},
         {"note answered eth0", "note broadcast-route eth0"},
         kDone},
        {"the QUERY could not leave",
         {withAddress("eth0", "192.168.1.10")},
         "eth0",
         {notSent},
         {"problem query-not-sent eth0", "note broadcast-route eth0"},
         kUnavailable},
        {"nothing to search and no route",
         {loopback(), down("eth0")},
         "",
         {},
         {"note interface-down eth0", "problem nothing-to-search ", "warning no-broadcast-route "},
         kUnavailable},
        {"the platform's own advice and friendly names",
         {withAddress("{9A1C}", "10.0.0.5"), windowsCable},
         "{9A1C}",
         {searched("{9A1C}", true)},
         {"warning no-answer {9A1C}", "note broadcast-route {9A1C}", "warning no-ipv4 {4D36E972}"},
         kNoAnswer,
         {{"no-ipv4",
           "netsh interface ipv4 set address name=\"Ethernet 2\" static 192.168.1.10 "
           "255.255.255.0"}},
         {},
         "",
         windows},
    };
}

TEST(Diagnosis, EachSnapshotGivesItsFindingsAdviceAndStatus) {
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        SystemFacts facts;
        facts.interfaces.interfaces = c.interfaces;
        facts.broadcastRoute.interface = c.routeInterface;
        facts.broadcastRoute.sourceAddress = c.routeInterface.empty() ? "" : "192.0.2.99";
        facts.broadcastRoute.problem = c.routeInterface.empty() ? "Network is unreachable" : "";
        facts.port = c.port;
        facts.firewall.rulesRead = !c.rules.empty();
        facts.firewall.rules = c.rules;
        facts.advice = c.advice;
        const Diagnosis diagnosis = diagnose(facts, {}, c.searches);

        std::vector<std::string> found;
        for (const Finding& finding : diagnosis.findings) {
            found.push_back(std::string(severityName(finding.severity)) + " " + finding.code + " " +
                            finding.interface);
            EXPECT_TRUE(finding.severity == Severity::Note || !finding.next.empty())
                << finding.code << " says nothing about what to do next";
        }
        EXPECT_THAT(found, ElementsAreArray(c.expected));
        EXPECT_EQ(diagnosis.exitStatus, c.status);
        for (const auto& [code, text] : c.says) {
            const auto finding = std::find_if(diagnosis.findings.begin(), diagnosis.findings.end(),
                                              [&](const Finding& f) { return f.code == code; });
            ASSERT_NE(finding, diagnosis.findings.end()) << code;
            EXPECT_THAT(finding->seen + " | " + finding->next, HasSubstr(text)) << code;
        }
    }
}

TEST(Diagnosis, OnlyInterfacesThatCanReachALanAreSearched) {
    NetworkInterface noBroadcast = withAddress("sl0", "10.1.1.1");
    noBroadcast.canBroadcast = false;
    const std::vector<std::pair<NetworkInterface, Coverage>> table = {
        {loopback(), Coverage::Loopback},
        {tunnel("tun0"), Coverage::PointToPoint},
        {down("eth1"), Coverage::Down},
        {noBroadcast, Coverage::NoBroadcast},
        {unaddressed("eth2"), Coverage::NoIpv4},
        {withAddress("eth0", "192.168.1.10"), Coverage::Searched},
    };
    std::vector<NetworkInterface> all;
    for (const auto& [interface, coverage] : table) {
        EXPECT_EQ(coverageOf(interface, {}), coverage) << interface.name;
        all.push_back(interface);
    }
    EXPECT_THAT(interfacesToSearch(all, {}), ElementsAreArray({"eth0"}));
    all.push_back(withAddress("eth3", "192.168.2.10"));
    EXPECT_THAT(interfacesToSearch(all, {}), ElementsAreArray({"eth0", "eth3"}));
    // Named interfaces narrow the search; a named one that cannot be searched says why.
    EXPECT_THAT(interfacesToSearch(all, {"eth3", "eth1"}), ElementsAreArray({"eth3"}));
    EXPECT_EQ(coverageOf(withAddress("eth0", "192.168.1.10"), {"eth3"}), Coverage::NotNamed);
    SystemFacts facts;
    facts.interfaces.interfaces = all;
    facts.broadcastRoute.interface = "eth0";
    const Diagnosis named = diagnose(facts, {"eth1"}, {});
    const auto downFinding =
        std::find_if(named.findings.begin(), named.findings.end(),
                     [](const Finding& f) { return f.code == "interface-down"; });
    ASSERT_NE(downFinding, named.findings.end());
    EXPECT_EQ(downFinding->severity, Severity::Warning);
}

}  // namespace
}  // namespace krvctl
