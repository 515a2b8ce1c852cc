// The reader and the writer through the real shell against the simulated controller's tools,
// with the run-time files at their real paths. Runs only inside run-on-sim-controller (see
// run-chain.sh): the tools are first in PATH, the files sit in a private mount namespace and
// KRV_SIM_STATE names a fresh state.

#include <sys/socket.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

#include "krvd/system/SettingsReader.h"
#include "krvd/system/SettingsWriter.h"
#include "krvd/system/SystemInterfaceLister.h"
#include "krvd/system/SystemShell.h"
#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;

std::string sim(const std::string& arguments) {
    return runCommand("krv-sim " + arguments + " 2>&1", false);
}

// Every command line the stand-ins received since the last call.
std::string takeRecord() {
    const std::string path = std::string(std::getenv("KRV_SIM_STATE")) + "/commands.log";
    std::ifstream file(path);
    std::string record((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    sim("log --clear");
    return record;
}

bool has(const std::string& record, const std::string& line) {
    return record.find(line + "\n") != std::string::npos;
}

class SettingsChain : public ::testing::Test {
  protected:
    void SetUp() override {
        if (std::getenv("KRV_SIM_STATE") == nullptr) {
            GTEST_SKIP() << "run through run-chain.sh, on the simulated controller";
        }
    }

    void useType(const std::string& type) {
        sim("init --type " + type);
        sim("file krvd_interface br0");
        takeRecord();
    }

    void read() {
        ConsoleCapture console;
        refresh(settings, system);
        out = console.out();
    }

    krvtest::QuietSyslog quiet;
    SystemShell shell;
    SystemInterfaceLister interfaces;
    SystemAccess system{shell, interfaces, {}};
    Settings settings;
    std::string out;
};

TEST_F(SettingsChain, ReadsEveryControllerType) {
    const struct {
        const char* type;
        int code;
        const char* timeServerProbe;
    } cases[] = {{"failing", 0, "trelsetup gettimeserver"},
                 {"other", 1, "ubootenv /dev/mtd1 print timeserver"},
                 {"arm9", 2, "trelsetup gettimeserver"},
                 {"imx", 3, "trelsetup gettimeserver"},
                 {"qvx", 4, "trelsetup gettimeserver"}};
    for (const auto& c : cases) {
        useType(c.type);
        read();
        const std::string record = takeRecord();
        EXPECT_EQ(settings.controllertype(), c.code) << c.type;
        EXPECT_TRUE(has(record, c.timeServerProbe)) << c.type << "\n" << record;
        EXPECT_EQ(settings.mac(), "02:00:00:4B:10:01") << c.type;
        EXPECT_EQ(settings.ip(), "192.0.2.10") << c.type;
        EXPECT_EQ(settings.controller(), "KRV-800 climate controller (simulated)") << c.type;
        EXPECT_NE(out.find("KRVD using interface: br0\n"), std::string::npos);
        if (c.code != 0) {
            EXPECT_EQ(settings.ntpip(), "192.0.2.123") << c.type;
        }
    }
}

TEST_F(SettingsChain, ImxExtrasComeFromTheToolsAndTheDisplayConfiguration) {
    useType("imx");
    read();
    EXPECT_EQ(settings.nameserver(), "192.0.2.53");
    EXPECT_EQ(settings.sdkversion(), "5.4.2");
    EXPECT_EQ(settings.sdusage(), "37%");
    EXPECT_EQ(settings.ntpsync(), "yes");
    EXPECT_EQ(settings.displaytime().size(), 14U);
    EXPECT_TRUE(settings.uptime().ends_with("\n"));
}

TEST_F(SettingsChain, WrittenChangesShowInTheNextRead) {
    for (const char* type : {"imx", "qvx", "other"}) {
        useType(type);
        read();
        ASSERT_TRUE(settings.setNtpip("192.0.2.77"));
        ASSERT_TRUE(settings.setSyslogip("192.0.2.78"));
        ConsoleCapture console;
        writeSettings(settings, shell);
        EXPECT_EQ(console.err(), "") << type;
        const std::string record = takeRecord();
        EXPECT_TRUE(has(record, "trelsetup setsyslogserver 192.0.2.78")) << record;
        EXPECT_TRUE(has(record, "trelsetup setip 192.0.2.10 255.255.255.0 192.0.2.1")) << record;
        read();
        EXPECT_EQ(settings.ntpip(), "192.0.2.77") << type;
        EXPECT_EQ(settings.syslogip(), "192.0.2.78") << type;
    }
}

TEST_F(SettingsChain, FailingChangeCommandsAreReportedNotHidden) {
    useType("imx");
    read();
    sim("answer settimeserver exit:1");
    ASSERT_TRUE(settings.setNtpip("192.0.2.77"));
    ConsoleCapture console;
    writeSettings(settings, shell);
    EXPECT_EQ(console.err(), "krvd:Error setting ntp IP\n");
    EXPECT_NE(console.out().find("krvd:Finished writing ntp IP settings\n"), std::string::npos);
}

TEST_F(SettingsChain, ClockIsRecordedButNeverSet) {
    useType("imx");
    read();
    ConsoleCapture console;
    EXPECT_TRUE(setClock(settings, shell, "20300101120000"));
    EXPECT_TRUE(has(takeRecord(), "date -u -s 203001011200.00"));
    EXPECT_EQ(readClock(shell).size(), 14U);
}

TEST_F(SettingsChain, ClearingRemovesTheSettingOnEachType) {
    useType("imx");
    read();
    EXPECT_TRUE(clearTimeServer(settings, shell));
    EXPECT_TRUE(clearNameServer(settings, shell));
    read();
    EXPECT_EQ(settings.ntpip(), "");
    EXPECT_EQ(settings.nameserver(), "");

    useType("qvx");
    read();
    EXPECT_TRUE(clearTimeServer(settings, shell));
    EXPECT_TRUE(clearSyslogServer(settings, shell));
    const std::string record = takeRecord();
    EXPECT_TRUE(has(record, "rm /etc/systemd/timesyncd.conf")) << record;
    EXPECT_TRUE(has(record, "systemctl restart systemd-timesyncd.service")) << record;
    EXPECT_TRUE(has(record, "trelsetup setsyslogserver disabled")) << record;

    sim("answer \"trelsetup setsyslogserver disabled\" error");
    EXPECT_FALSE(clearSyslogServer(settings, shell));
}

}  // namespace
}  // namespace krvd
