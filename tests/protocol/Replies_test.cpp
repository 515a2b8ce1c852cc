// Covers the STATUS and ACK texts built from a Settings record; no system access involved.
#include "krvd/protocol/Replies.h"

#include <gtest/gtest.h>

#include <string>

namespace krvd {
namespace {

using namespace std::string_literals;

void fillEveryReportedMember(Settings& s) {
    s.setMac("00:11:22:aa:bb:cc");
    s.setIp("192.0.2.10");
    s.setNetmask("255.255.255.0");
    s.setGateway("192.0.2.1");
    s.setHostname("ctl7");
    s.setIpscheme("DHCP");
    s.setNtpip("192.0.2.50");
    s.setController("C\t7\r\n");
    s.setHousenames("North\nSouth");
    s.setSyslogip("192.0.2.51");
    s.setNameserver("192.0.2.53");
    s.setNtpsync("yes");
    s.setSdusage("12%");
    s.setSdkversion("5.1\n");
    s.setMac1("de:ad:be:ef:00:01\n");
    s.setMac2("de:ad:be:ef:00:02");
    s.setUptime("123.45 67.89\n");
    s.setLoadavg("0.10 0.20 0.30 1/99 42\n");
    s.setDisplaytime("20240102030405\n");
}

TEST(StatusReply, AllRowsInOrderWithLineBreaksRemovedAndMacsUpperCased) {
    Settings s;
    fillEveryReportedMember(s);
    EXPECT_EQ(buildStatusReply(s, "17", "20240506070809"),
              "KRV2#STATUS#seqid=17#mac=00:11:22:AA:BB:CC#ip=192.0.2.10#netmask=255.255.255.0"
              "#gateway=192.0.2.1#hostname=ctl7#ipscheme=DHCP#ntpip=192.0.2.50#controller=C7"
              "#housenames=NorthSouth#syslogip=192.0.2.51#nameserver=192.0.2.53#ntpsync=yes"
              "#sdusage=12%#sdkversion=5.1#mac1=DE:AD:BE:EF:00:01#mac2=DE:AD:BE:EF:00:02"
              "#uptime=123.45 67.89#loadavg=0.10 0.20 0.30 1/99 42#utcclock=20240506070809"
              "#displaytime=20240102030405");
    // Formatting works on copies.
    EXPECT_EQ(s.controller(), "C\t7\r\n");
    EXPECT_EQ(s.mac(), "00:11:22:aa:bb:cc");
}

TEST(StatusReply, EmptyShownValuesAreLeftOutButClockAndDisplaytimeStay) {
    Settings s;
    s.setHostname("");
    s.setIpscheme("");
    s.setController("\r\n");
    s.setUptime("\n");
    EXPECT_EQ(buildStatusReply(s, "", ""), "KRV2#STATUS#seqid=#mac=#utcclock=#displaytime=");
}

TEST(StatusReply, RowsShownAsStoredKeepTheirBytes) {
    Settings s;
    s.setHostname("a\tb\n");
    s.setNtpsync("no\n");
    s.setSdusage("n/a");
    s.setMac("a\xe9:bb\0c"s);
    EXPECT_EQ(buildStatusReply(s, "\xff"s, "ERROR::popen"),
              "KRV2#STATUS#seqid=\xff#mac=A\xe9:BB\0C#hostname=a\tb\n#ipscheme=STATIC"
              "#ntpsync=no\n#sdusage=n/a#utcclock=ERROR::popen#displaytime="s);
}

TEST(AckReply, CarriesSeqidDeviceMacAndVerdict) {
    Settings s;
    s.setMac("0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(buildAckReply(s, "9", true), "KRV2#ACK#seqid=9#mac=0A:0B:0C:0D:0E:0F#accept=yes");
    EXPECT_EQ(buildAckReply(s, "", false), "KRV2#ACK#seqid=#mac=0A:0B:0C:0D:0E:0F#accept=no");
    EXPECT_EQ(buildAckReply(Settings{}, "1", true), "KRV2#ACK#seqid=1#mac=#accept=yes");
}

}  // namespace
}  // namespace krvd
