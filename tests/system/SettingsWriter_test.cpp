// The settings writer, the clock and the clearing operations against a scripted shell: the
// groups written, their order, command lines and messages, per controller type.

#include "krvd/system/SettingsWriter.h"

#include <gtest/gtest.h>

#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;
using krvtest::FakeShell;
using krvtest::QuietSyslog;

class WriterTest : public ::testing::Test {
  protected:
    WriterTest() {
        settings.setIp("10.0.0.5");
        settings.setNetmask("255.255.255.0");
        settings.setGateway("10.0.0.1");
        settings.setNtpip("10.0.0.2");
        settings.setSyslogip("10.0.0.3");
        settings.setNameserver("10.0.0.4");
        settings.setControllertype(Settings::kTypeImx);
        settings.takeSnapshot();
    }

    void write() {
        ConsoleCapture console;
        writeSettings(settings, shell);
        out = console.out();
        err = console.err();
    }

    QuietSyslog quiet;
    FakeShell shell;
    Settings settings;
    std::string out;
    std::string err;
};

TEST_F(WriterTest, WritesNothingWhenNothingChanged) {
    write();
    EXPECT_TRUE(shell.lines().empty());
    EXPECT_EQ(out + err, "");
}

TEST_F(WriterTest, TimeServerCommandDependsOnTheType) {
    const struct {
        int type;
        const char* command;
    } cases[] = {{0, "trelsetup settimeserver 10.0.0.9"},
                 {1, "trelsetup timeserver 10.0.0.9"},
                 {2, "trelsetup settimeserver 10.0.0.9"},
                 {3, "trelsetup settimeserver 10.0.0.9"},
                 {4, "trelsetup timeserver 10.0.0.9"}};
    for (const auto& c : cases) {
        shell.forgetCalls();
        settings.setControllertype(c.type);
        settings.setNtpip("10.0.0.9");
        write();
        EXPECT_EQ(shell.statusLines(), std::vector<std::string>{c.command}) << c.type;
        EXPECT_EQ(out,
                  "krvd:" + std::string(c.command) + "\nkrvd:Finished writing ntp IP settings\n");
        EXPECT_EQ(err, "");
    }
}

TEST_F(WriterTest, SyslogChangeAlsoRewritesTheNetwork) {
    settings.setSyslogip("10.0.0.30");
    write();
    const std::vector<std::string> expected = {"trelsetup setsyslogserver 10.0.0.30",
                                               "trelsetup setip 10.0.0.5 255.255.255.0 10.0.0.1 "};
    EXPECT_EQ(shell.statusLines(), expected);
    EXPECT_NE(out.find("krvd:Finished writing syslog IP settings\nkrvd:Writing network settings\n"),
              std::string::npos)
        << out;
}

TEST_F(WriterTest, ServerValuesThatEscapedTheirCheckReachTheToolAsOneQuotedWord) {
    // The address setters would refuse these; the unchecked ones stand for a broken check.
    settings.setNtpipUnchecked("1.2.3.4;reboot");
    settings.setSyslogipUnchecked("$(id)");
    settings.setNameserverUnchecked("it's");
    settings.setIpscheme("DHCP");
    write();
    const std::vector<std::string> expected = {
        "trelsetup settimeserver '1.2.3.4;reboot'", "trelsetup setsyslogserver '$(id)'",
        "trelsetup setnameserver 'it'\\''s'", "trelsetup setdhcp"};
    EXPECT_EQ(shell.statusLines(), expected);
}

TEST_F(WriterTest, GroupsRunInOrderAndFailuresDoNotStopLaterGroups) {
    settings.setNtpip("10.0.0.12");
    settings.setSyslogip("10.0.0.13");
    settings.setNameserver("10.0.0.14");
    settings.setIp("10.0.0.15");
    settings.setPendingclock("20261208120000");
    shell.exitStatus("trelsetup settimeserver 10.0.0.12", 1);
    shell.exitStatus("trelsetup setsyslogserver 10.0.0.13", 256);
    shell.exitStatus("trelsetup setnameserver 10.0.0.14", 1);
    shell.exitStatus("trelsetup setip 10.0.0.15 255.255.255.0 10.0.0.1 ", 1);
    write();
    const std::vector<std::string> expected = {
        "trelsetup settimeserver 10.0.0.12", "trelsetup setsyslogserver 10.0.0.13",
        "trelsetup setnameserver 10.0.0.14", "trelsetup setip 10.0.0.15 255.255.255.0 10.0.0.1 ",
        "date -u -s 202612081200.00"};
    EXPECT_EQ(shell.lines(), expected);
    EXPECT_EQ(err,
              "krvd:Error setting ntp IP\nkrvd:Error setting syslog IP\n"
              "krvd:Error setting nameserver\nkrvd:Error setting static IP.\n");
    EXPECT_NE(out.find("krvd:Finished writing ntp IP settings\n"), std::string::npos);
    EXPECT_NE(out.find("krvd:Changed to Static IP...\nkrvd:Finished writing network settings\n"),
              std::string::npos);
    EXPECT_EQ(settings.pendingclock(), "");
}

TEST_F(WriterTest, NetworkCommandsNameTheInterfaceUnlessBr0) {
    const struct {
        const char* scheme;
        const char* interface;
        const char* command;
    } cases[] = {
        {"STATIC", "br0", "trelsetup setip 10.0.0.5 255.255.255.0 10.0.0.1 "},
        {"STATIC", "eth1", "trelsetup setip 10.0.0.5 255.255.255.0 10.0.0.1 eth1"},
        {"STATIC", "BR0", "trelsetup setip 10.0.0.5 255.255.255.0 10.0.0.1 BR0"},
        {"STATIC", "x;reboot", "trelsetup setip 10.0.0.5 255.255.255.0 10.0.0.1 'x;reboot'"},
        {"DHCP", "br0", "trelsetup setdhcp"},
        {"DHCP", "a b", "trelsetup setdhcp 'a b'"},
    };
    for (const auto& c : cases) {
        const bool isStatic = std::string(c.scheme) == "STATIC";
        settings.setInterface(c.interface);
        settings.setIpscheme(isStatic ? "DHCP" : "STATIC");
        settings.takeSnapshot();
        settings.setIpscheme(c.scheme);
        shell.forgetCalls();
        write();
        EXPECT_EQ(shell.statusLines(), std::vector<std::string>{c.command}) << c.interface;
        const std::string changed = isStatic ? "Changed to Static IP..." : "Changed to DHCP...";
        EXPECT_EQ(out, "krvd:Writing network settings\nkrvd:" + std::string(c.command) +
                           "\nkrvd:" + changed + "\nkrvd:Finished writing network settings\n");
    }
}

TEST_F(WriterTest, StaticWithoutAllAddressesRunsNothing) {
    Settings bare;
    bare.setIp("10.0.0.5");
    bare.setNetmask("255.255.255.0");
    bare.takeSnapshot();
    bare.setIp("10.0.0.6");
    ConsoleCapture console;
    writeSettings(bare, shell);
    EXPECT_TRUE(shell.lines().empty());
    EXPECT_EQ(console.out(),
              "krvd:Writing network settings\nkrvd:Finished writing network settings\n");
    EXPECT_EQ(console.err(), "krvd:Missing required parameters for setting static IP.\n");
}

TEST_F(WriterTest, UnknownSchemeOnlyLogsTheFrame) {
    settings.setIpscheme("PPP");
    write();
    EXPECT_TRUE(shell.lines().empty());
    EXPECT_EQ(out, "krvd:Writing network settings\nkrvd:Finished writing network settings\n");
}

TEST_F(WriterTest, DhcpFailureIsReportedAndClosed) {
    settings.setIpscheme("DHCP");
    shell.exitStatus("trelsetup setdhcp", 1);
    write();
    EXPECT_EQ(err, "krvd:Error setting DHCP.\n");
    EXPECT_NE(out.find("krvd:Changed to DHCP...\nkrvd:Finished writing network settings\n"),
              std::string::npos);
}

TEST(SetClock, BuildsTheDateCommandOfEachType) {
    QuietSyslog quiet;
    const struct {
        int type;
        const char* command;
    } cases[] = {
        {1, "date -u -D %Y%m%d%H%M%S -s 20261208134501"},
        {2, "date -u -D %Y%m%d%H%M%S -s 20261208134501"},
        {3, "date -u -s 202612081345.01"},
        {4, "date -u -s '2026-12-08 13:45:01'"},
    };
    for (const auto& c : cases) {
        FakeShell shell;
        Settings settings;
        settings.setControllertype(c.type);
        EXPECT_TRUE(setClock(settings, shell, "20261208134501"));
        EXPECT_EQ(shell.lines(), std::vector<std::string>{c.command});
        EXPECT_TRUE(shell.statusLines().empty());
        EXPECT_EQ(settings.pendingclock(), "20261208134501");
    }
}

TEST(SetClock, RefusesBadTextsAndUnknownTypes) {
    QuietSyslog quiet;
    const struct {
        std::string text;
        int type;
        const char* warning;
    } cases[] = {
        {"2026120813450", 3, "krvd:Invalid format for UTC - length\n"},
        {"202612081345a", 3, "krvd:Invalid format for UTC - length\n"},
        {"2026120813450a", 3, "krvd:Invalid format for UTC - not numbers\n"},
        {std::string("2026120813450\0", 14), 3, "krvd:Invalid format for UTC - not numbers\n"},
        {"20261208134501", 0, ""},
        {"20261208134501", 7, ""},
    };
    for (const auto& c : cases) {
        FakeShell shell;
        Settings settings;
        settings.setControllertype(c.type);
        ConsoleCapture console;
        EXPECT_FALSE(setClock(settings, shell, c.text));
        EXPECT_EQ(console.err(), c.warning);
        EXPECT_TRUE(shell.lines().empty());
        EXPECT_EQ(settings.pendingclock(), "");
    }
}

TEST_F(WriterTest, PendingClockIsAppliedAgainOnceAndThenDropped) {
    ConsoleCapture console;
    ASSERT_TRUE(setClock(settings, shell, "20261208134501"));
    writeSettings(settings, shell);
    writeSettings(settings, shell);
    EXPECT_EQ(shell.lines(), std::vector<std::string>(2, "date -u -s 202612081345.01"));
    EXPECT_EQ(settings.pendingclock(), "");
    EXPECT_EQ(console.out() + console.err(), "");
}

using ClearOperation = bool (*)(const Settings&, ShellRunner&);

TEST(ClearServers, RunTheCommandsOfEachType) {
    const struct {
        const char* name;
        ClearOperation clear;
        int type;
        std::vector<std::string> commands;
    } cases[] = {
        {"time", clearTimeServer, 1, {"ubootenv /dev/mtd1 del timeserver"}},
        {"time", clearTimeServer, 2, {"rm /etc/trelsetup.d/timeserver"}},
        {"time", clearTimeServer, 3, {"trelsetup settimeserver --delete"}},
        {"time",
         clearTimeServer,
         4,
         {"rm /etc/systemd/timesyncd.conf", "systemctl restart systemd-timesyncd.service"}},
        {"time", clearTimeServer, 0, {}},
        {"syslog", clearSyslogServer, 1, {"ubootenv /dev/mtd1 del serverip"}},
        {"syslog", clearSyslogServer, 2, {"rm /etc/trelsetup.d/syslogserver"}},
        {"syslog", clearSyslogServer, 3, {"trelsetup setsyslogserver --delete"}},
        {"syslog", clearSyslogServer, 4, {"trelsetup setsyslogserver disabled"}},
        {"syslog", clearSyslogServer, 0, {}},
        {"name", clearNameServer, 1, {}},
        {"name", clearNameServer, 2, {}},
        {"name", clearNameServer, 3, {"trelsetup setnameserver --delete"}},
        {"name", clearNameServer, 4, {}},
    };
    for (const auto& c : cases) {
        FakeShell shell;
        Settings settings;
        settings.setControllertype(c.type);
        EXPECT_TRUE(c.clear(settings, shell)) << c.name << " " << c.type;
        EXPECT_EQ(shell.lines(), c.commands) << c.name << " " << c.type;
        for (const auto& command : c.commands) {
            shell.answer(command, "ERROR::refused\n");
        }
        EXPECT_EQ(c.clear(settings, shell), c.commands.empty()) << c.name << " " << c.type;
    }
}

TEST(ClearServers, OnlyALeadingErrorWordCountsAsFailure) {
    const struct {
        const char* answer;
        bool cleared;
    } cases[] = {{"ERRORS happen\n", false}, {"  ERROR x\n", false}, {"NOERROR\n", true},
                 {"ok ERROR\n", true},       {"error\n", true},      {"", true}};
    for (const auto& c : cases) {
        FakeShell shell;
        Settings settings;
        settings.setControllertype(Settings::kTypeImx);
        shell.answer("trelsetup setnameserver --delete", c.answer);
        EXPECT_EQ(clearNameServer(settings, shell), c.cleared) << c.answer;
    }
}

TEST(ClearServers, QvxTimeServerDependsOnlyOnTheRestart) {
    FakeShell shell;
    Settings settings;
    settings.setControllertype(Settings::kTypeQvx);
    shell.answer("rm /etc/systemd/timesyncd.conf", "ERROR gone\n");
    EXPECT_TRUE(clearTimeServer(settings, shell));
    shell.answer("systemctl restart systemd-timesyncd.service", "ERROR failed\n");
    EXPECT_FALSE(clearTimeServer(settings, shell));
    EXPECT_EQ(shell.lines().size(), 4U);
}

}  // namespace
}  // namespace krvd
