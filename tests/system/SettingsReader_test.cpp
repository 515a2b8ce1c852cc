// The settings reader against a scripted shell and temporary files: which command lines run
// on each controller type, which answers are taken, the interface selection and the netmask.

#include "krvd/system/SettingsReader.h"

#include <sys/socket.h>

#include <cstdlib>
#include <ctime>

#include <gtest/gtest.h>

#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;
using krvtest::FakeInterfaceLister;
using krvtest::FakeShell;
using krvtest::QuietSyslog;
using krvtest::TempDir;

const char* const kTimeServerUboot = "ubootenv /dev/mtd1 print timeserver | cut -d\"=\" -f2";
const char* const kSyslogUboot = "ubootenv /dev/mtd1 print serverip | cut -d\"=\" -f2";
const char* const kGateway = "route -n | grep ^0.0.0.0 | awk '{ print $2 }'";
const char* const kNtpq = "ntpq -pn | grep -v LOCL | grep ^*";
const char* const kNtpdc = "ntpdc -pn |grep ^*";
const char* const kTimedatectl = "timedatectl | grep \"NTP synchronized\" | awk '{ print $3 }'";
const char* const kDfMmcblk = "df -h | grep mmcblk | awk '{ print$5 }'";
const char* const kDfSdcard = "df -h | grep sdcard | awk '{ print$5 }'";
const char* const kDisplayTime =
    "Get $(grep HS_REALTIME_SEC_SINCE_1970_BEFORE "
    "/etc/trel/ConfigurationFiles/HardCodedHSSets.xml | sed -e "
    "'s/.*value=\"\\([^\"]*\\)\".*/\\1/')";

class ReaderTest : public ::testing::Test {
  protected:
    ReaderTest() {
        interfaces.add("lo", AF_INET, "255.0.0.0");
        interfaces.add("br0", AF_PACKET);
        interfaces.add("br0", AF_INET, "255.255.255.0");
    }

    void scriptType(const std::string& sdkWord) {
        shell.answer("trelsetup getsdk", sdkWord + "\n");
    }

    void read() {
        ConsoleCapture console;
        readSettings(settings, system);
        out = console.out();
    }

    QuietSyslog quiet;
    TempDir dir;
    FakeShell shell;
    FakeInterfaceLister interfaces;
    SystemAccess system{shell, interfaces, dir.controllerPaths()};
    Settings settings;
    std::string out;
};

std::vector<std::string> expectedCommands(int type) {
    std::vector<std::string> lines = {"trelsetup getsdk", "trelsetup getmacaddr",
                                      "trelsetup getipscheme", "trelsetup getipaddr", kGateway};
    lines.push_back(type == 1 ? kTimeServerUboot : "trelsetup gettimeserver");
    lines.push_back(type == 1 ? kSyslogUboot : "trelsetup getsyslogserver");
    if (type == 3) {
        lines.push_back("trelsetup getnameserver");
    }
    lines.push_back("hostname");
    lines.push_back(type == 3 ? kNtpq : type == 4 ? kTimedatectl : kNtpdc);
    if (type == 3) {
        lines.push_back("trelsetup sdcard info usage");
    } else if (type == 2) {
        lines.push_back(kDfMmcblk);
    } else if (type != 4) {
        lines.push_back(kDfSdcard);
    }
    if (type == 3) {
        for (const char* line :
             {"trelsetup getsdkversion", "trelsetup getmacaddr fromfuses primary",
              "trelsetup getmacaddr fromfuses secondary", "cat /proc/uptime", "cat /proc/loadavg",
              kDisplayTime}) {
            lines.push_back(line);
        }
    }
    return lines;
}

TEST_F(ReaderTest, RunsTheCommandLinesOfEachControllerType) {
    const struct {
        const char* sdk;
        int type;
    } cases[] = {{"ERROR::no tool", 0}, {"generic", 1}, {"arm9", 2}, {"imx", 3}, {"qvx", 4}};
    for (const auto& c : cases) {
        shell.forgetCalls();
        scriptType(c.sdk);
        read();
        EXPECT_EQ(settings.controllertype(), c.type) << c.sdk;
        EXPECT_EQ(shell.lines(), expectedCommands(c.type)) << c.sdk;
        EXPECT_EQ(out, "krvd:Detected controller type: " + std::to_string(c.type) +
                           "\nkrvd:Finished reading network settings\n");
    }
}

TEST_F(ReaderTest, DetectsTheTypeFromTheWholeFirstWordOnly) {
    const struct {
        const char* answer;
        int type;
    } cases[] = {{"imx board\n", 3}, {"IMX\n", 1}, {"imx6\n", 1}, {"", 1}, {"xERROR::\n", 0}};
    for (const auto& c : cases) {
        shell.answer("trelsetup getsdk", c.answer);
        read();
        EXPECT_EQ(settings.controllertype(), c.type) << c.answer;
    }
}

TEST_F(ReaderTest, TakesUsableAnswersAndKeepsThePreviousValueOtherwise) {
    scriptType("imx");
    shell.answer("trelsetup getmacaddr", "00:11:22:aa:bb:cc\n");
    shell.answer("trelsetup getipscheme", "DHCP\n");
    shell.answer("trelsetup getipaddr", "192.0.2.10\n");
    shell.answer(kGateway, "192.0.2.1\n");
    shell.answer("trelsetup gettimeserver", "192.0.2.2\n");
    shell.answer("trelsetup getsyslogserver", "192.0.2.3\n");
    shell.answer("trelsetup getnameserver", "192.0.2.4\n");
    shell.answer("hostname", "ctl-7\n");
    read();
    EXPECT_EQ(settings.mac(), "00:11:22:aa:bb:cc");
    EXPECT_EQ(settings.ipscheme(), "DHCP");
    EXPECT_EQ(settings.netmask(), "255.255.255.0");
    EXPECT_EQ(settings.ip(), "192.0.2.10");
    EXPECT_EQ(settings.gateway(), "192.0.2.1");
    EXPECT_EQ(settings.ntpip(), "192.0.2.2");
    EXPECT_EQ(settings.syslogip(), "192.0.2.3");
    EXPECT_EQ(settings.nameserver(), "192.0.2.4");
    EXPECT_EQ(settings.hostname(), "ctl-7");

    // Failing probes keep the last good value; invalid addresses are not taken; an empty
    // time-server answer means the server was removed.
    shell.answer("trelsetup getmacaddr", "ERROR::no interface\n");
    shell.answer("trelsetup getipscheme", "ERROR::busy\n");
    shell.answer("trelsetup getipaddr", "not-an-address\n");
    shell.answer(kGateway, "");
    shell.answer("trelsetup gettimeserver", "");
    shell.answer("trelsetup getsyslogserver", "ERROR::x\n");
    shell.answer("trelsetup getnameserver", "8.8.8.8\n");
    shell.answer("hostname", "ERROR::\n");
    interfaces.entries.clear();
    read();
    EXPECT_EQ(settings.mac(), "00:11:22:aa:bb:cc");
    EXPECT_EQ(settings.ipscheme(), "DHCP");
    EXPECT_EQ(settings.netmask(), "255.255.255.0");
    EXPECT_EQ(settings.ip(), "192.0.2.10");
    EXPECT_EQ(settings.gateway(), "192.0.2.1");
    EXPECT_EQ(settings.ntpip(), "");
    EXPECT_EQ(settings.syslogip(), "192.0.2.3");
    EXPECT_EQ(settings.nameserver(), "192.0.2.4");
    EXPECT_EQ(settings.hostname(), "ctl-7");
}

TEST_F(ReaderTest, IgnoresPublicResolversAndAsksForANameServerOnlyOnImx) {
    scriptType("imx");
    for (const char* resolver : {"1.1.1.1", "8.8.8.8", "1.0.0.1", "8.8.4.4"}) {
        shell.answer("trelsetup getnameserver", std::string(resolver) + "\n");
        read();
        EXPECT_EQ(settings.nameserver(), "") << resolver;
    }
    shell.answer("trelsetup getnameserver", "9.9.9.9\n");
    read();
    EXPECT_EQ(settings.nameserver(), "9.9.9.9");

    scriptType("arm9");
    shell.answer("trelsetup getnameserver", "192.0.2.4\n");
    shell.forgetCalls();
    read();
    EXPECT_EQ(settings.nameserver(), "9.9.9.9");
    EXPECT_FALSE(shell.ran("trelsetup getnameserver"));
}

TEST_F(ReaderTest, TypeOtherReadsServersFromTheBootEnvironment) {
    scriptType("generic");
    shell.answer(kTimeServerUboot, "192.0.2.20\n");
    shell.answer(kSyslogUboot, "192.0.2.21\n");
    read();
    EXPECT_EQ(settings.ntpip(), "192.0.2.20");
    EXPECT_EQ(settings.syslogip(), "192.0.2.21");
}

TEST_F(ReaderTest, ReadsTheFirstLineOfTheRunTimeFiles) {
    dir.write("controller", "C-100 rev B\nsecond line\n");
    dir.write("housenames", "");
    read();
    EXPECT_EQ(settings.controller(), "C-100 rev B");
    EXPECT_EQ(settings.housenames(), "");

    std::filesystem::remove(dir.file("controller"));
    dir.write("housenames", "North;South");
    read();
    EXPECT_EQ(settings.controller(), "C-100 rev B");
    EXPECT_EQ(settings.housenames(), "North;South");
}

TEST_F(ReaderTest, TimeSyncAndCardUsageFollowTheType) {
    const struct {
        const char* sdk;
        const char* command;
        const char* answer;
        const char* ntpsync;
    } syncCases[] = {
        {"imx", kNtpq, "*192.0.2.2 .GPS. 1 u\n", "yes"},
        {"imx", kNtpq, "", "no"},
        {"imx", kNtpq, "ERROR::x\n", "no"},
        {"arm9", kNtpdc, "*192.0.2.2\n", "yes"},
        {"qvx", kTimedatectl, "yes\n", "yes"},
        {"qvx", kTimedatectl, "ERROR::x\n", "ERROR::x"},
    };
    for (const auto& c : syncCases) {
        scriptType(c.sdk);
        shell.answer(c.command, c.answer);
        read();
        EXPECT_EQ(settings.ntpsync(), c.ntpsync) << c.sdk << " " << c.answer;
    }

    const struct {
        const char* sdk;
        const char* command;
        const char* answer;
        const char* sdusage;
    } cardCases[] = {
        {"imx", "trelsetup sdcard info usage", "37%\n", "37%"},
        {"imx", "trelsetup sdcard info usage", "No card\n", "n/a"},
        {"imx", "trelsetup sdcard info usage", "ERROR::x\n", "n/a"},
        {"arm9", kDfMmcblk, "45%\n", "45%"},
        {"generic", kDfSdcard, "12%\n", "12%"},
        {"generic", kDfSdcard, "", "n/a"},
        {"qvx", kDfSdcard, "12%\n", "n/a"},
    };
    for (const auto& c : cardCases) {
        scriptType(c.sdk);
        shell.answer(c.command, c.answer);
        read();
        EXPECT_EQ(settings.sdusage(), c.sdusage) << c.sdk << " " << c.answer;
    }
}

TEST_F(ReaderTest, ImxExtrasAreReadAndClearedOnOtherTypes) {
    setenv("TZ", "UTC", 1);
    tzset();
    scriptType("imx");
    shell.answer("trelsetup getsdkversion", "5.4.2\n");
    shell.answer("trelsetup getmacaddr fromfuses primary", "00:aa:bb:cc:dd:01\n");
    shell.answer("trelsetup getmacaddr fromfuses secondary", "ERROR::unfused\n");
    shell.answer("cat /proc/uptime", "350.2 612.7\n");
    shell.answer("cat /proc/loadavg", "0.10 0.20 0.30 1/80 999\n");
    shell.answer(kDisplayTime, "1765195200\n");
    read();
    EXPECT_EQ(settings.sdkversion(), "5.4.2");
    EXPECT_EQ(settings.mac1(), "00:aa:bb:cc:dd:01");
    EXPECT_EQ(settings.mac2(), "");
    EXPECT_EQ(settings.uptime(), "350.2 612.7\n");
    EXPECT_EQ(settings.loadavg(), "0.10 0.20 0.30 1/80 999\n");
    EXPECT_EQ(settings.displaytime(), "20251208120000");

    for (const char* bad : {"", "soon\n", "99999999999999999999\n", "ERROR::x\n"}) {
        shell.answer(kDisplayTime, bad);
        read();
        EXPECT_EQ(settings.displaytime(), "") << bad;
        EXPECT_NE(out.find("Finished reading network settings"), std::string::npos);
    }

    shell.answer(kDisplayTime, "1765195200\n");
    read();
    scriptType("arm9");
    read();
    for (const std::string* text :
         {&settings.sdkversion(), &settings.mac1(), &settings.mac2(), &settings.uptime(),
          &settings.loadavg(), &settings.displaytime()}) {
        EXPECT_EQ(*text, "");
    }
}

TEST_F(ReaderTest, InterfaceFileSelectsTheInterface) {
    const struct {
        std::string content;
        std::string selected;
        std::string printed;
    } cases[] = {
        {"eth1\r\n", "eth1\r", "eth1\r"},
        {"e\nth1\n", "eth1", "eth1"},
        {"\n", "br0", ""},
        {"abcdefghij", "br0", "abcdefghij"},
        {"abcdefghi", "abcdefghi", "abcdefghi"},
    };
    for (const auto& c : cases) {
        settings.setInterface("br0");
        dir.write("krvd_interface", c.content);
        ConsoleCapture console;
        EXPECT_EQ(interfaceName(settings, system), c.selected);
        EXPECT_EQ(console.out(), "KRVD using interface: " + c.printed + "\n");
    }

    std::filesystem::remove(dir.file("krvd_interface"));
    settings.setInterface("eth7");
    ConsoleCapture console;
    EXPECT_EQ(interfaceName(settings, system), "eth7");
    EXPECT_EQ(console.out(), "");
}

TEST_F(ReaderTest, InterfaceQueriesNameTheInterfaceChosenBeforeTheRead) {
    dir.write("krvd_interface", "eth0\n");
    read();
    // The first read still asks for br0's address and scheme: the file is read in between.
    EXPECT_EQ(shell.lines()[1], "trelsetup getmacaddr");
    EXPECT_EQ(shell.lines()[2], "trelsetup getipscheme");
    EXPECT_EQ(shell.lines()[3], "trelsetup getipaddr eth0");
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 3);  // type, interface, finished

    shell.forgetCalls();
    read();
    EXPECT_EQ(shell.lines()[1], "trelsetup getmacaddr eth0");
    EXPECT_EQ(shell.lines()[2], "trelsetup getipscheme eth0");
    EXPECT_EQ(shell.lines()[3], "trelsetup getipaddr eth0");
}

TEST_F(ReaderTest, InterfaceNameWithShellSyntaxIsPassedLiterally) {
    dir.write("krvd_interface", "x;reboot");
    read();
    read();
    EXPECT_TRUE(shell.ran("trelsetup getmacaddr 'x;reboot'"));
    EXPECT_TRUE(shell.ran("trelsetup getipaddr 'x;reboot'"));
}

TEST_F(ReaderTest, NetmaskComesFromTheFirstIpv4EntryMatchingFourCharacters) {
    interfaces.entries.clear();
    interfaces.add("eth0", AF_INET6);
    interfaces.add("eth0.5", AF_INET, "255.255.0.0");
    interfaces.add("eth0", AF_INET, "255.255.255.0");
    interfaces.add("br01", AF_INET, "255.0.0.0");

    dir.write("krvd_interface", "eth0");
    {
        ConsoleCapture console;
        EXPECT_EQ(interfaceNetmask(settings, system), "255.255.0.0");
    }
    dir.write("krvd_interface", "br0");
    {
        ConsoleCapture console;
        EXPECT_EQ(interfaceNetmask(settings, system), "ERROR::interface not found");
    }
    interfaces.failing = true;
    ConsoleCapture console;
    EXPECT_EQ(interfaceNetmask(settings, system), "ERROR::getifaddrs failed");
}

TEST_F(ReaderTest, RefreshTakesANewSnapshot) {
    shell.answer("trelsetup getipaddr", "192.0.2.10\n");
    ConsoleCapture console;
    refresh(settings, system);
    ASSERT_NE(settings.savedcopy(), nullptr);
    EXPECT_EQ(settings.savedcopy()->ip(), "192.0.2.10");
    EXPECT_FALSE(settings.networkChanged());
}

}  // namespace
}  // namespace krvd
