// The settings record: defaults, the address setters, the ten-member assignment behind the
// saved copy, and the change tests the writer relies on.

#include "krvd/settings/Settings.h"

#include <gtest/gtest.h>

namespace krvd {
namespace {

void fill(Settings& settings) {
    settings.setIp("10.0.0.5");
    settings.setNetmask("255.255.255.0");
    settings.setGateway("10.0.0.1");
    settings.setNtpip("10.0.0.2");
    settings.setSyslogip("10.0.0.3");
    settings.setNameserver("10.0.0.4");
    settings.setHostname("ctl-7");
    settings.setHousenames("North");
    settings.setMac("00:11:22:aa:bb:cc");
    settings.setController("C-100");
    settings.setIpscheme("DHCP");
    settings.setNtpsync("yes");
    settings.setPendingclock("20261208120000");
    settings.setInterface("eth1");
    settings.setControllertype(Settings::kTypeImx);
}

TEST(SettingsRecord, StartsWithDocumentedDefaults) {
    const Settings settings;
    EXPECT_EQ(settings.hostname(), "none");
    EXPECT_EQ(settings.ipscheme(), "STATIC");
    EXPECT_EQ(settings.interface(), "br0");
    EXPECT_EQ(settings.controllertype(), 0);
    EXPECT_EQ(settings.savedcopy(), nullptr);
    for (const std::string* text :
         {&settings.housenames(), &settings.ip(), &settings.netmask(), &settings.gateway(),
          &settings.mac(), &settings.ntpip(), &settings.controller(), &settings.syslogip(),
          &settings.nameserver(), &settings.ntpsync(), &settings.sdusage(),
          &settings.pendingclock(), &settings.sdkversion(), &settings.mac1(), &settings.mac2(),
          &settings.uptime(), &settings.loadavg(), &settings.displaytime()}) {
        EXPECT_TRUE(text->empty());
    }
}

TEST(SettingsRecord, AddressSettersAcceptOnlyPlainDottedQuads) {
    const struct {
        const char* text;
        bool accepted;
    } cases[] = {
        {"10.0.0.1", true},   {"255.255.255.255", true}, {"0.0.0.0", true},
        {"1.2.3.256", false}, {"1.2.3", false},          {"1.2.3.4.5", false},
        {" 1.2.3.4", false},  {"1.2.3.4 ", false},       {"01.2.3.4", false},
        {"", false},          {"a.b.c.d", false},        {"1..2.3", false},
    };
    for (const auto& c : cases) {
        Settings settings;
        ASSERT_TRUE(settings.setIp("192.0.2.1"));
        EXPECT_EQ(settings.setIp(c.text), c.accepted) << c.text;
        EXPECT_EQ(settings.ip(), c.accepted ? c.text : "192.0.2.1") << c.text;
        EXPECT_EQ(settings.setGateway(c.text), c.accepted) << c.text;
        EXPECT_EQ(settings.setNtpip(c.text), c.accepted) << c.text;
        EXPECT_EQ(settings.setSyslogip(c.text), c.accepted) << c.text;
        EXPECT_EQ(settings.setNameserver(c.text), c.accepted) << c.text;
        EXPECT_EQ(settings.setNetmask(c.text), c.accepted) << c.text;
    }
}

TEST(SettingsRecord, AddressWithEmbeddedNulIsRefused) {
    Settings settings;
    EXPECT_FALSE(settings.setIp(std::string("10.0.0.1\0;reboot", 16)));
    EXPECT_TRUE(settings.ip().empty());
}

TEST(SettingsRecord, AssignmentCopiesExactlyTheTenNetworkMembers) {
    Settings source;
    fill(source);
    Settings target;
    target.setNtpsync("no");
    target.setInterface("eth9");
    target.setControllertype(Settings::kTypeQvx);
    target = source;

    EXPECT_EQ(target.hostname(), "ctl-7");
    EXPECT_EQ(target.ip(), "10.0.0.5");
    EXPECT_EQ(target.netmask(), "255.255.255.0");
    EXPECT_EQ(target.gateway(), "10.0.0.1");
    EXPECT_EQ(target.mac(), "00:11:22:aa:bb:cc");
    EXPECT_EQ(target.ntpip(), "10.0.0.2");
    EXPECT_EQ(target.controller(), "C-100");
    EXPECT_EQ(target.syslogip(), "10.0.0.3");
    EXPECT_EQ(target.nameserver(), "10.0.0.4");
    EXPECT_EQ(target.ipscheme(), "DHCP");

    EXPECT_EQ(target.housenames(), "");
    EXPECT_EQ(target.ntpsync(), "no");
    EXPECT_EQ(target.pendingclock(), "");
    EXPECT_EQ(target.interface(), "eth9");
    EXPECT_EQ(target.controllertype(), Settings::kTypeQvx);

    Settings& self = target;
    target = self;
    EXPECT_EQ(target.ip(), "10.0.0.5");
}

TEST(SettingsRecord, SnapshotHoldsOnlyTheCopiedMembersAndHasNoCopyOfItsOwn) {
    Settings settings;
    fill(settings);
    settings.takeSnapshot();
    const Settings* saved = settings.savedcopy();
    // Which members it holds follows from the assignment, tested above.
    ASSERT_NE(saved, nullptr);
    EXPECT_EQ(saved->ip(), "10.0.0.5");
    EXPECT_EQ(saved->savedcopy(), nullptr);

    settings.setIp("10.0.0.6");
    settings.takeSnapshot();
    EXPECT_EQ(settings.savedcopy()->ip(), "10.0.0.6");
}

struct ChangeCase {
    const char* name;
    void (*change)(Settings&);
    bool ntp, syslog, nameserver, network, scheme;
};

TEST(SettingsRecord, ChangeTestsCompareWithTheSnapshotPerGroup) {
    const ChangeCase cases[] = {
        {"nothing", [](Settings&) {}, false, false, false, false, false},
        {"ip", [](Settings& s) { s.setIp("10.0.0.9"); }, false, false, false, true, false},
        {"netmask", [](Settings& s) { s.setNetmask("255.0.0.0"); }, false, false, false, true,
         false},
        {"gateway", [](Settings& s) { s.setGateway("10.0.0.254"); }, false, false, false, true,
         false},
        {"ntpip", [](Settings& s) { s.setNtpip("10.0.0.8"); }, true, false, false, false, false},
        {"syslogip", [](Settings& s) { s.setSyslogip("10.0.0.8"); }, false, true, false, true,
         false},
        {"nameserver", [](Settings& s) { s.setNameserver("10.0.0.8"); }, false, false, true, false,
         false},
        {"scheme case", [](Settings& s) { s.setIpscheme("dhcp"); }, false, false, false, true,
         true},
        {"ip set back",
         [](Settings& s) {
             s.setIp("10.0.0.9");
             s.setIp("10.0.0.5");
         },
         false, false, false, false, false},
        {"hostname only", [](Settings& s) { s.setHostname("other"); }, false, false, false, false,
         false},
    };
    for (const auto& c : cases) {
        Settings settings;
        fill(settings);
        settings.takeSnapshot();
        c.change(settings);
        EXPECT_EQ(settings.ntpIpChanged(), c.ntp) << c.name;
        EXPECT_EQ(settings.syslogIpChanged(), c.syslog) << c.name;
        EXPECT_EQ(settings.nameServerChanged(), c.nameserver) << c.name;
        EXPECT_EQ(settings.networkChanged(), c.network) << c.name;
        EXPECT_EQ(settings.ipSchemeChanged(), c.scheme) << c.name;
    }
}

TEST(SettingsRecord, ClockPendingFollowsThePendingValueOnly) {
    Settings settings;
    settings.takeSnapshot();
    EXPECT_FALSE(settings.clockPending());
    settings.setPendingclock("20261208120000");
    EXPECT_TRUE(settings.clockPending());
    EXPECT_FALSE(settings.networkChanged());
}

}  // namespace
}  // namespace krvd
