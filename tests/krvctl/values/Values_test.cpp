// The values an engineer types: MAC forms, strict dotted quads, UTC clock texts and KEY=VALUE
// assignment arguments, each checked before anything is sent. Nothing here touches a network.
#include <gtest/gtest.h>

#include "krvctl/values/Assignment.h"
#include "krvctl/values/Ipv4.h"
#include "krvctl/values/MacAddress.h"
#include "krvctl/values/UtcClock.h"

namespace krvctl {
namespace {

TEST(MacAddress, AcceptsEveryCommonFormAndSendsTheDaemonsForm) {
    for (const char* text : {"02:00:00:4b:10:01", "02-00-00-4B-10-01", "0200004b1001",
                             "02:00:00:4B:10:01", "02-00-00-4b-10-01"}) {
        const auto mac = normalizeMac(text);
        ASSERT_TRUE(mac) << text << ": " << mac.problem();
        EXPECT_EQ(mac.value(), "02:00:00:4B:10:01") << text;
    }
}

TEST(MacAddress, RefusesWhatIsNotSixOctets) {
    for (const char* text :
         {"", "02:00:00:4b:10", "02:00:00:4b:10:01:02", "02:00-00:4b:10:01", "02.00.00.4b.10.01",
          "0200:004b:1001", "02:00:00:4b:10:0g", "02:00:00:4b:10:1", " 02:00:00:4b:10:01",
          "0200004b100", "02:00:00:4b:10:01#ip=1"}) {
        EXPECT_FALSE(normalizeMac(text)) << text;
    }
}

TEST(DottedQuad, OnlyTheStrictFormPasses) {
    const auto address = parseDottedQuad("192.0.2.255");
    ASSERT_TRUE(address);
    EXPECT_EQ(address.value(), 0xC00002FFu);
    EXPECT_EQ(formatDottedQuad(address.value()), "192.0.2.255");
    EXPECT_TRUE(parseDottedQuad("0.0.0.0"));
    for (const char* text :
         {"", "1.2.3", "1.2.3.4.5", "1..2.3", "1.2.3.256", "1.2.3.-1", " 1.2.3.4", "1.2.3.4 ",
          "01.2.3.4", "1.2.3.x", "1.2.3.4#", "1.2.3.", "99999999999999999999.1.1.1"}) {
        EXPECT_FALSE(parseDottedQuad(text)) << text;
    }
    EXPECT_NE(parseDottedQuad("10.0.0.010").problem().find("leading zero"), std::string::npos);
}

TEST(DottedQuad, PrefixLengthOnlyForContiguousMasks) {
    EXPECT_EQ(prefixLength(0xFFFFFF00u), 24);
    EXPECT_EQ(prefixLength(0xFFFFFFFFu), 32);
    EXPECT_EQ(prefixLength(0u), 0);
    EXPECT_EQ(prefixLength(0xFFFF00FFu), std::nullopt);
    EXPECT_EQ(prefixLength(0x00FFFFFFu), std::nullopt);
}

TEST(UtcClock, RealInstantsRoundTrip) {
    for (const char* text : {"19700101000000", "20240229235959", "20261208120000", "20991231235959",
                             "21000301000000"}) {
        const auto seconds = parseUtcClock(text);
        ASSERT_TRUE(seconds) << text << ": " << seconds.problem();
        EXPECT_EQ(formatUtcClock(seconds.value()), text);
    }
    EXPECT_EQ(parseUtcClock("20261208120000").value(), 1796731200);
}

TEST(UtcClock, RefusesTimesThatDoNotExist) {
    for (const char* text :
         {"2026120812000", "202612081200000", "2026120812000x", "20261308120000", "20261200120000",
          "20230229120000", "21000229120000", "20261208240000", "20261208126000", "20261208120060",
          "19691231235959", "+2026120812000"}) {
        EXPECT_FALSE(parseUtcClock(text)) << text;
    }
}

TEST(UtcClock, OffsetsReadNaturally) {
    EXPECT_EQ(formatOffset(0), "+0s");
    EXPECT_EQ(formatOffset(-4), "-4s");
    EXPECT_EQ(formatOffset(725), "+12m05s");
    EXPECT_EQ(formatOffset(-12000), "-3h20m");
    EXPECT_EQ(formatOffset(2 * 86400 + 7 * 3600 + 59), "+2d07h");
}

TEST(AssignmentArguments, CheckedValuesInTheGivenOrder) {
    const auto parsed = parseAssignmentArguments(
        {"ntpip=192.0.2.123", "ipscheme=dhcp", "utcclock=now", "ip=192.0.2.77"});
    ASSERT_TRUE(parsed) << parsed.problem();
    const Assignment& assignment = parsed.value();
    ASSERT_EQ(assignment.settings.size(), 4u);
    EXPECT_EQ(assignment.settings[0].key, "ntpip");
    EXPECT_EQ(*assignment.find("ipscheme"), "DHCP");  // any case, sent as the daemon wants it
    EXPECT_TRUE(assignment.setsClockToNow());
    EXPECT_EQ(wireValue(assignment.settings[2], 1796731200), "20261208120000");
    EXPECT_EQ(wireValue(assignment.settings[3], 1796731200), "192.0.2.77");
}

TEST(AssignmentArguments, EveryProblemNamesItsArgument) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "nothing to assign"},
        {{"ntpip"}, "'ntpip': write KEY=VALUE"},
        {{"hostname=x"}, "'hostname=x': no such setting"},
        {{"IP=192.0.2.1"}, "no such setting"},
        {{"ip=192.0.2.1", "ip=192.0.2.2"}, "'ip=192.0.2.2': ip is given twice"},
        {{"ip="}, "'ip=': an IPv4 address"},
        {{"gateway=192.0.2.1#x=1"}, "'gateway=192.0.2.1#x=1'"},
        {{"ipscheme=AUTO"}, "STATIC or DHCP"},
        {{"utcclock=20261308120000"}, "month 13"},
        {{"utcclock=Now"}, "14 digits"},
        {{"nameserver=8.8.8.8;1.1.1.1"}, "nameserver=8.8.8.8;1.1.1.1"},
    };
    for (const auto& [arguments, expected] : cases) {
        const auto parsed = parseAssignmentArguments(arguments);
        ASSERT_FALSE(parsed) << expected;
        EXPECT_NE(parsed.problem().find(expected), std::string::npos) << parsed.problem();
    }
}

TEST(AssignmentCheck, EveryProblemAtOnceBesideItsKey) {
    const AssignmentCheck check = checkSettings({{"ntpip", "192.0.2.300"},
                                                 {"ipscheme", "dhcp"},
                                                 {"hostname", "x"},
                                                 {"ntpip", "192.0.2.1"},
                                                 {"utcclock", "now"}});
    ASSERT_EQ(check.problems.size(), 3u);
    EXPECT_EQ(check.problems[0].key, "ntpip");
    EXPECT_NE(check.problems[0].problem.find("300 is above 255"), std::string::npos);
    EXPECT_EQ(check.problems[1].key, "hostname");
    // A repeat is named even when its first value was refused.
    EXPECT_EQ(check.problems[2].problem, "ntpip is given twice");
    ASSERT_EQ(check.assignment.settings.size(), 2u);
    EXPECT_EQ(*check.assignment.find("ipscheme"), "DHCP");
    EXPECT_TRUE(check.assignment.setsClockToNow());

    const AssignmentCheck nothing = checkSettings({});
    ASSERT_EQ(nothing.problems.size(), 1u);
    EXPECT_EQ(nothing.problems[0].key, "");
    EXPECT_TRUE(checkSettings({{"gateway", "192.0.2.1"}}).problems.empty());

    EXPECT_EQ(checkClearSetting("syslogip").value(), "syslogip");
    EXPECT_EQ(checkClearSetting("ip").problem(),
              "only a server setting can be cleared: ntpip, syslogip, nameserver");
}

}  // namespace
}  // namespace krvctl
