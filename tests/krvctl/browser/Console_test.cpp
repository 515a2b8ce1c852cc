// The web console as an engineer uses it: krvctl web in the hub of a LAN of real daemons on
// simulated controllers, and headless Chromium, driven through Selenium by console_check.py,
// looking at the page, typing into its forms and sending a request from a foreign site. What
// reached the controllers is read from their command records.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>

#include "tests/core/e2e/NetworkLab.h"
#include "tests/krvctl/e2e/Lan.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::BackgroundProgram;
using krvd::e2e::Daemon;
using krvd::e2e::readFile;
using krvd::e2e::runQuietly;

// Debian's, which has Selenium; another python3 first in PATH may not.
constexpr const char* kPython = "/usr/bin/python3";
constexpr const char* kChromium = "/usr/bin/chromium";
constexpr const char* kDriver = "/usr/bin/chromedriver";
constexpr const char* kConsoleUrl = "http://127.0.0.1:7280";
constexpr const char* kScreenshot = KRV_BINARY_DIR "/tests/krvctl-console.png";
// console_check.py's status when Chromium cannot start here.
constexpr int kBrowserCannotStart = 77;

struct Controller {
    std::string mac;
    std::string address;
    std::string type;
    std::string hostname;
    std::vector<std::vector<std::string>> setup;
};

const std::vector<Controller> kHall = {
    {"02:00:00:4B:30:01", "192.0.2.11", "imx", "hall-a-01", {}},
    {"02:00:00:4B:30:02", "192.0.2.12", "imx", "hall-a-02", {{"set", "sdusage", "81%"}}},
    {"02:00:00:4B:30:03", "192.0.2.13", "arm9", "hall-b-01", {{"set", "clock.offset", "-75"}}},
    {"02:00:00:4B:30:04", "192.0.2.14", "qvx", "hall-b-02", {{"set", "ntpsync", "no"}}},
};
constexpr std::size_t kTarget = 1;

std::optional<std::string> missingBrowser() {
    if (access(kChromium, X_OK) != 0 || access(kDriver, X_OK) != 0) {
        return "no headless browser: install Debian's chromium and chromium-driver";
    }
    if (runQuietly({kPython, "-c", "import selenium"}) != 0) {
        return "no Selenium: install Debian's python3-selenium";
    }
    return std::nullopt;
}

TEST(Console, AnEngineerFindsAndSetsUpControllersInTheBrowser) {
    if (const auto missing = missingBrowser()) {
        GTEST_SKIP() << *missing;
    }
    Lan lan;
    if (!lan.failure().empty()) {
        GTEST_SKIP() << lan.failure();
    }
    std::vector<std::unique_ptr<Daemon>> daemons;
    for (std::size_t i = 0; i < kHall.size(); ++i) {
        const Controller& controller = kHall[i];
        const bool bridged = i % 2 == 0;
        const auto host = lan.addHost(controller.address, bridged);
        ASSERT_TRUE(host) << lan.failure();
        Daemon::Options options;
        options.controllerType = controller.type;
        options.hostname = controller.hostname;
        auto daemon = std::make_unique<Daemon>(*host, bridged ? "br0" : "eth0", options);
        daemon->configure({"set", "mac", controller.mac});
        daemon->configure({"set", "ipaddr", controller.address});
        for (const auto& arguments : controller.setup) {
            daemon->configure(arguments);
        }
        ASSERT_TRUE(daemon->launch()) << daemon->failure();
        daemons.push_back(std::move(daemon));
    }
    for (const auto& daemon : daemons) {
        ASSERT_TRUE(daemon->awaitListening()) << daemon->failure();
    }

    const std::filesystem::path work =
        std::filesystem::temp_directory_path() / ("krvctl-console-" + std::to_string(getpid()));
    std::filesystem::create_directories(work);
    BackgroundProgram console;
    // A wide window: controllers on a busy machine take seconds to read their state.
    ASSERT_TRUE(console.start(
        toolCommand(lan.hubNamespace(), {"--timeout", "6", "web", "--listen", "127.0.0.1:7280"}),
        work / "out", work / "err"));
    ASSERT_TRUE(console.waitForText(work / "out", "the console is at", std::chrono::seconds(20)))
        << readFile(work / "err");

    std::string macs;
    for (const Controller& controller : kHall) {
        macs += (macs.empty() ? "" : ",") + controller.mac;
    }
    BackgroundProgram check;
    ASSERT_TRUE(check.start({"ip", "netns", "exec", lan.hubNamespace(), kPython, KRV_CONSOLE_CHECK,
                             "--url", kConsoleUrl, "--macs", macs, "--target", kHall[kTarget].mac,
                             "--target-host", kHall[kTarget].hostname, "--screenshot", kScreenshot},
                            work / "check.out", work / "check.err"));
    const int checked = check.waitForExit(std::chrono::seconds(240)).value_or(-1);
    const std::string report = readFile(work / "check.out");
    const std::string problems = readFile(work / "check.err");
    const int stopped = console.stop(std::chrono::seconds(10));
    const std::string consoleErrors = readFile(work / "err");
    std::filesystem::remove_all(work);
    if (checked == kBrowserCannotStart) {
        GTEST_SKIP() << problems;
    }
    ASSERT_EQ(checked, 0) << report << problems;
    std::cout << report;

    // The form's assignment reached its target only; the refused values reached nobody.
    for (std::size_t i = 0; i < daemons.size(); ++i) {
        const std::string record = daemons[i]->commandRecord();
        EXPECT_EQ(record.find("trelsetup settimeserver 192.0.2.77") != std::string::npos,
                  i == kTarget)
            << kHall[i].mac << ":\n"
            << record;
        EXPECT_EQ(record.find("192.0.2.300"), std::string::npos) << record;
        // The plan opened and applied from the page reached every controller.
        EXPECT_NE(record.find("setsyslogserver 192.0.2.88"), std::string::npos) << record;
        EXPECT_EQ(record.find("192.0.2.66"), std::string::npos) << record;
    }
    EXPECT_EQ(stopped, 0);
    EXPECT_EQ(consoleErrors, "");
}

}  // namespace
}  // namespace krvctl::e2e
