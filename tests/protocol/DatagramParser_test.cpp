// Covers the inbound grammar's pure operations on arbitrary bytes; command handling is tested
// in CommandHandler_test.cpp.
#include "protocol/DatagramParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace krv {
namespace {

using namespace std::string_literals;

TEST(SplitFirst, SplitsAtFirstSeparatorOnly) {
    struct Case {
        std::string text;
        bool success;
        std::string head;
        std::string tail;
    };
    const std::vector<Case> cases = {
        {"", false, "", ""},   {"QUERY", false, "QUERY", ""}, {"a#b#c", true, "a", "b#c"},
        {"a#", true, "a", ""}, {"#a", true, "", "a"},         {"a\0b#c\0"s, true, "a\0b"s, "c\0"s},
    };
    for (const Case& c : cases) {
        const SplitResult result = splitFirst(c.text, '#');
        EXPECT_EQ(result.success, c.success) << c.text;
        EXPECT_EQ(result.head, c.head) << c.text;
        EXPECT_EQ(result.tail, c.tail) << c.text;
    }
}

TEST(CheckHeader, AcceptsMagicWithVersionUpToTwo) {
    struct Case {
        std::string head;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"KRV2", true},  {"KRV0", true},  {"KRVx", true}, {"KRV\0"s, true}, {"KRV\xff", true},
        {"KRV3", false}, {"krv2", false}, {"KRV", false}, {"KRV22", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(checkHeader(c.head), c.accepted) << c.head;
    }
}

TEST(ParseSeqid, AcceptsExactKeyAndCleanValue) {
    struct Case {
        std::string item;
        bool ok;
        std::string seqid;
    };
    const std::vector<Case> cases = {
        {"seqid=17", true, "17"}, {"seqid", true, ""},
        {"seqid=", true, ""},     {"seqid=\xe9\0x"s, true, "\xe9\0x"s},
        {"seqid=a=b", false, ""}, {"seqid=1;2", false, ""},
        {"SEQID=1", false, ""},   {"seqid =1", false, ""},
        {"", false, ""},
    };
    for (const Case& c : cases) {
        SetupMessage message;
        EXPECT_EQ(parseSeqid(c.item, message), c.ok) << c.item;
        EXPECT_EQ(message.seqid, c.seqid) << c.item;
    }
}

TEST(ParseMac, ChecksOnlyTwoByteGroupsOfMacKeyAndUpperCasesWholeValue) {
    struct Case {
        std::string item;
        bool ok;
        std::string mac;
    };
    const std::vector<Case> cases = {
        {"mac=00:11:22:aa:bb:cc", true, "00:11:22:AA:BB:CC"},
        {"mac=00:11:22:aa:bb:cc:dd", true, "00:11:22:AA:BB:CC:DD"},
        {"mac=0g:11:22:33:44:55", false, ""},
        {"mac=00:11:22:33:44:zz", false, ""},
        // A seventh group is not looked at.
        {"mac=00:11:22:33:44:55:zz", true, "00:11:22:33:44:55:ZZ"},
        {"mac=0:1:2", true, "0:1:2"},
        {"mac=00-11-22-aa-bb-cc", true, "00-11-22-AA-BB-CC"},
        {"id=zz", true, "ZZ"},
        {"mac", true, ""},
        {"", true, ""},
        // The rest of a query after its seqid item, further items included.
        {"mac=aa:bb:cc:dd:ee:ff#x=1", true, "AA:BB:CC:DD:EE:FF#X=1"},
        {"mac=\xe9\xff:aa"s, false, ""},
        {"mac=\xe9\xff\xe0:aa"s, true, "\xe9\xff\xe0:AA"s},
        {"mac=a\0:bb"s, false, ""},
    };
    for (const Case& c : cases) {
        SetupMessage message;
        EXPECT_EQ(parseMac(c.item, message), c.ok) << c.item;
        EXPECT_EQ(message.mac, c.mac) << c.item;
    }
}

TEST(ParseAssignments, StoresItemsLeftToRightUntilFailureOrEmptyItem) {
    struct Case {
        std::string list;
        bool ok;
        SetupMessage expected;
    };
    auto with = [](auto setter) {
        SetupMessage message;
        setter(message);
        return message;
    };
    const std::vector<Case> cases = {
        {"", true, {}},
        {"ip=10.0.0.5#netmask=255.255.255.0#ipscheme=STATIC", true, with([](SetupMessage& m) {
             m.ip = "10.0.0.5";
             m.netmask = "255.255.255.0";
             m.ipscheme = "STATIC";
         })},
        {"gateway=1.1.1.1#syslogip=2.2.2.2#nameserver=3.3.3.3#ntpip=4.4.4.4#utcclock=x", true,
         with([](SetupMessage& m) {
             m.gateway = "1.1.1.1";
             m.syslogip = "2.2.2.2";
             m.nameserver = "3.3.3.3";
             m.ntpip = "4.4.4.4";
             m.utcclock = "x";
         })},
        {"ipscheme=DHCP", true, with([](SetupMessage& m) { m.ipscheme = "DHCP"; })},
        {"ip=10.0.0.5#ipscheme=static", false, with([](SetupMessage& m) { m.ip = "10.0.0.5"; })},
        {"ip=10.0.0.5#ip=10.0.0.6", true, with([](SetupMessage& m) { m.ip = "10.0.0.6"; })},
        {"ip=10.0.0.5##netmask=255.0.0.0", true, with([](SetupMessage& m) { m.ip = "10.0.0.5"; })},
        // An address that is not IPv4 text is skipped, unless it holds a forbidden byte.
        {"ip=abc#ntpip=1.2.3.4", true, with([](SetupMessage& m) { m.ntpip = "1.2.3.4"; })},
        {"ip=1.2.3.4;x", false, {}},
        {"ip=", false, {}},
        {"=1.2.3.4", false, {}},
        {"foo=bar", true, {}},
        {"foo=a=b", false, {}},
        {"fo;o=b", false, {}},
        {"foo=\xe9\0"s, true, {}},
        {"IP=1.2.3.4", true, {}},
    };
    for (const Case& c : cases) {
        SetupMessage message;
        EXPECT_EQ(parseAssignments(c.list, message), c.ok) << c.list;
        const SetupMessage& e = c.expected;
        EXPECT_EQ(message.ip, e.ip) << c.list;
        EXPECT_EQ(message.netmask, e.netmask) << c.list;
        EXPECT_EQ(message.gateway, e.gateway) << c.list;
        EXPECT_EQ(message.ipscheme, e.ipscheme) << c.list;
        EXPECT_EQ(message.ntpip, e.ntpip) << c.list;
        EXPECT_EQ(message.syslogip, e.syslogip) << c.list;
        EXPECT_EQ(message.nameserver, e.nameserver) << c.list;
        EXPECT_EQ(message.utcclock, e.utcclock) << c.list;
        EXPECT_TRUE(message.mac.empty() && message.seqid.empty()) << c.list;
    }
}

TEST(IsIpv4Text, LenientDottedQuadWithoutOverflow) {
    struct Case {
        std::string text;
        bool valid;
    };
    const std::vector<Case> cases = {
        {"1..2.3", true},
        {"1.2.3.4.5", true},
        {"", true},
        {"0000000000000000000000255.000.1.1", true},
        {"255.255.255.255", true},
        {"1.2.3.256", false},
        {"-1.2.3.4", false},
        {" 1.2.3.4", false},
        {"1.2.3.4\xb2", false},
        {"1.2\0.3.4"s, false},
        {"1000.1.1.1", false},
        {"4294967296.1.1.1", false},
        {"1.1.1." + std::string(40, '9'), false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(isIpv4Text(c.text), c.valid) << c.text;
    }
}

TEST(IsClearKey, OnlyTheThreeServerNames) {
    for (const char* key : {"ntpip", "syslogip", "nameserver"}) {
        EXPECT_TRUE(isClearKey(key)) << key;
    }
    for (const char* key : {"", "NTPIP", "hostname", "ntpip ", "ntpip#x", "ip"}) {
        EXPECT_FALSE(isClearKey(key)) << key;
    }
}

}  // namespace
}  // namespace krv
