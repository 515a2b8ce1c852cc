// The program as a whole against an in-memory LAN: arguments and values refused before
// anything is sent, the exit statuses, and the table and JSON views of each command.
#include "krvctl/cli/CommandLine.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>

#include "krvctl/values/ExitStatus.h"
#include "tests/krvctl/cli/Program.h"
#include "tests/krvctl/support/LoopbackHttp.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::Program;
using test::ToolOutput;

TEST_F(Program, BadArgumentsAndValuesAreRefusedBeforeAnythingIsSent) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "subcommand is required"},
        {{"frobnicate"}, "unknown command or option 'frobnicate'"},
        {{"--bogus", "discover"}, "'--bogus'"},
        {{"discover", "extra"}, "'extra'"},
        {{"query"}, "MAC is required"},
        {{"query", "02:00:00:4b:10"}, "MAC '02:00:00:4b:10'"},
        {{"assign", "02:00:00:4B:10:01"}, "KEY=VALUE is required"},
        {{"assign", "02:00:00:4B:10:01", "ip=10.0.0.256"}, "'ip=10.0.0.256': 256 is above 255"},
        {{"assign", "02:00:00:4B:10:01", "utcclock=20260230120000"}, "day 30 does not exist"},
        {{"clear", "02:00:00:4B:10:01", "hostname"}, "hostname not in"},
        {{"--timeout", "0", "discover"}, "--timeout"},
        {{"--retries", "-1", "discover"}, "--retries"},
        {{"monitor", "--count", "0"}, "--count"},
        // A hostile argument is not echoed raw to the terminal.
        {{"query", "\x1b[31m"}, "MAC '\\x1B[31m'"},
    };
    for (const auto& [arguments, expected] : cases) {
        const ToolOutput result = run(arguments);
        EXPECT_EQ(result.status, kUsage) << expected;
        EXPECT_NE(result.err.find(expected), std::string::npos) << result.err;
    }
    EXPECT_EQ(opened, 0);
    EXPECT_TRUE(sent.empty());
}

TEST_F(Program, HelpAndVersionSucceed) {
    const ToolOutput help = run({"--help"});
    EXPECT_EQ(help.status, kDone);
    for (const char* word : {"discover", "query", "assign", "clear", "monitor", "web",
                             "--interface", "--timeout", "--retries", "--json", "64 usage"}) {
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
    }
    EXPECT_NE(run({"assign", "--help"}).out.find("--no-verify"), std::string::npos);
    EXPECT_NE(run({"web", "--help"}).out.find("127.0.0.1:7280"), std::string::npos);
    EXPECT_EQ(run({"--version"}).out, "krvctl " KRV_VERSION "\n");
}

TEST_F(Program, DiscoverPrintsATableOrJsonOfEveryController) {
    controller.values["hostname"] = "hall\x1b]0;owned\x07-7#ip=6.6.6.6";
    controller.clockOffsetSeconds = -90;
    const ToolOutput table = run({"discover", "--interface", "eth1"});
    EXPECT_EQ(table.status, kDone) << table.err;
    EXPECT_EQ(openedInterfaces, std::vector<std::string>{"eth1"});
    EXPECT_TRUE(
        table.out.starts_with("MAC                IP          NETMASK        GATEWAY    "
                              "SCHEME  HOSTNAME"))
        << table.out;
    EXPECT_NE(table.out.find("02:00:00:4B:10:01  192.0.2.10  255.255.255.0  192.0.2.1  STATIC  "
                             "hall\\x1B]0;owned\\x07-7#ip=6.6.6.6  -    37%  -    -1m30s\n"),
              std::string::npos)
        << table.out;
    EXPECT_NE(table.err.find("1 controller answered"), std::string::npos);

    const ToolOutput json = run({"--json", "discover"});
    ASSERT_EQ(json.status, kDone);
    const auto list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["mac"], "02:00:00:4B:10:01");
    EXPECT_EQ(list[0]["from"], "192.0.2.10");
    EXPECT_EQ(list[0]["hostname"], "hall\x1b]0;owned\x07-7#ip=6.6.6.6");
    EXPECT_EQ(list[0]["ip"], "192.0.2.10");
    EXPECT_EQ(list[0]["displaytime"], "");
}

TEST_F(Program, EveryInterfaceIsSearchedAndEachControllerShowsWhereItAnswered) {
    lanInterfaces = {"eth1", "eth2", "wlan0"};
    controller.interface = "eth1";
    fleet.add(test::controllerOn("eth2", "02:00:00:4B:10:02", "198.51.100.10"));
    fleet.add(test::controllerOn("eth2", "02:00:00:4B:10:03", "198.51.100.11"));

    const ToolOutput table = run({"discover"});
    ASSERT_EQ(table.status, kDone) << table.err;
    EXPECT_TRUE(openedInterfaces.empty());
    EXPECT_NE(table.out.find("CLOCK  INTERFACE\n"), std::string::npos) << table.out;
    EXPECT_NE(table.out.find("+0s    eth2\n"), std::string::npos) << table.out;
    EXPECT_NE(table.err.find("3 controllers answered: 1 on eth1, 2 on eth2 (searched eth1, eth2, "
                             "wlan0); the last new one after"),
              std::string::npos)
        << table.err;

    const auto list = nlohmann::json::parse(run({"--json", "discover"}).out);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0]["interface"], "eth1");
    EXPECT_EQ(list[2]["interface"], "eth2");

    const ToolOutput exported = run({"discover", "--csv"});
    EXPECT_NE(exported.out.find(",hostname,interface\n"), std::string::npos) << exported.out;
    EXPECT_NE(exported.out.find(",ctl,eth2\n"), std::string::npos) << exported.out;

    const ToolOutput assigned = run({"assign", "02:00:00:4B:10:02", "ntpip=192.0.2.124"});
    EXPECT_EQ(assigned.status, kDone) << assigned.err;

    lanInterfaces = {"eth1"};
    const ToolOutput one = run({"--interface", "eth1", "--interface", "eth1", "discover"});
    EXPECT_EQ(openedInterfaces, (std::vector<std::string>{"eth1", "eth1"}));
    EXPECT_EQ(one.out.find("INTERFACE"), std::string::npos) << one.out;

    for (test::FakeController* each : {&controller, &fleet.at(1), &fleet.at(2)}) {
        each->silent = true;
    }
    const ToolOutput none = run({"--interface", "eth1", "--retries", "0", "discover"});
    EXPECT_NE(none.err.find("no controller answered within 3.0 s (searched eth1)"),
              std::string::npos)
        << none.err;
}

TEST_F(Program, SilenceAndUnusablePortsHaveTheirOwnStatuses) {
    controller.silent = true;
    const ToolOutput discover = run({"--timeout", "1.5", "discover"});
    EXPECT_EQ(discover.status, kNoAnswer);
    EXPECT_NE(discover.err.find("no controller answered within 1.5 s"), std::string::npos);
    EXPECT_EQ(sent.size(), 3u);
    EXPECT_EQ(run({"--json", "--retries", "0", "discover"}).out, "[]\n");
    EXPECT_EQ(sent.size(), 4u);
    const ToolOutput query = run({"query", "02:00:00:4B:10:01"});
    EXPECT_EQ(query.status, kNoAnswer);
    EXPECT_NE(query.err.find("no answer from 02:00:00:4B:10:01 within 3.0 s"), std::string::npos);

    openFailure = "UDP port 7217 is held by a program that does not share it";
    const ToolOutput busy = run({"discover"});
    EXPECT_EQ(busy.status, kUnavailable);
    EXPECT_EQ(busy.err, "krvctl: UDP port 7217 is held by a program that does not share it\n");
}

TEST_F(Program, AssignReportsTheAckAndEachSetting) {
    const ToolOutput table = run({"assign", "02-00-00-4b-10-01", "ntpip=192.0.2.124"});
    EXPECT_EQ(table.status, kDone) << table.err;
    EXPECT_EQ(table.out,
              "02:00:00:4B:10:01 accepted the assignment (ACK from 192.0.2.10)\n"
              "verifying after the controller's 5 s pause...\n"
              "SETTING  REQUESTED    BEFORE       NOW          RESULT\n"
              "ntpip    192.0.2.124  192.0.2.123  192.0.2.124  ok\n");

    controller.ignoredKeys = {"syslogip"};
    const ToolOutput json = run({"assign", "--json", "02:00:00:4B:10:01", "syslogip=192.0.2.51"});
    EXPECT_EQ(json.status, kNotTakenEffect);
    const auto report = nlohmann::json::parse(json.out);
    EXPECT_EQ(report["mac"], "02:00:00:4B:10:01");
    EXPECT_EQ(report["accept"], true);
    EXPECT_EQ(report["verified"], true);
    EXPECT_EQ(report["settings"]["syslogip"]["result"], "failed");
    EXPECT_EQ(report["settings"]["syslogip"]["before"], "192.0.2.50");
    EXPECT_NE(json.err.find("not every value took effect"), std::string::npos);

    controller.accepts = false;
    const ToolOutput refused = run({"--json", "assign", "02:00:00:4B:10:01", "ntpip=192.0.2.9"});
    EXPECT_EQ(refused.status, kRefused);
    EXPECT_EQ(nlohmann::json::parse(refused.out)["accept"], false);
}

TEST_F(Program, ClearAndTheGuardSpeakThroughTheirStatuses) {
    const ToolOutput cleared = run({"--json", "clear", "0200004B1001", "ntpip"});
    EXPECT_EQ(cleared.status, kDone) << cleared.err;
    const auto report = nlohmann::json::parse(cleared.out);
    EXPECT_EQ(report["setting"], "ntpip");
    EXPECT_EQ(report["accept"], true);
    EXPECT_EQ(report["result"], "ok");
    EXPECT_EQ(sent.back(),
              "KRV2#QUERY#seqid=" + test::itemOf(sent.back(), "seqid") + "#mac=02:00:00:4B:10:01");

    const ToolOutput guarded = run({"assign", "02:00:00:4B:10:01", "netmask=255.255.0.255"});
    EXPECT_EQ(guarded.status, kUsage);
    EXPECT_NE(guarded.err.find("netmask 255.255.0.255 is not contiguous"), std::string::npos);
    EXPECT_EQ(guarded.out, "");
}

TEST_F(Program, MonitorPrintsOneLinePerDatagram) {
    waiting = {{"KRV2#CLEAR#seqid=9#mac=02:00:00:4B:10:01#ntpip", "192.0.2.20"},
               {std::string("\x00\x1b[2Jhi", 7), "192.0.2.66"},
               {"KRV2#ACK#seqid=9#mac=02:00:00:4B:10:01#accept=yes", "192.0.2.10"}};
    const ToolOutput table = run({"monitor", "--count", "2"});
    EXPECT_EQ(table.status, kDone);
    const auto second = table.out.find('\n') + 1;
    EXPECT_EQ(table.out.substr(12, second - 12),
              "  192.0.2.20      CLEAR   seqid=9  mac=02:00:00:4B:10:01  ntpip\n");
    EXPECT_EQ(table.out.substr(second + 12),
              "  192.0.2.66      (not a setup datagram (no KRV head), 7 bytes) \\x00\\x1B[2Jhi\n");

    const ToolOutput json = run({"--json", "monitor"});
    std::istringstream lines(json.out);
    std::vector<nlohmann::json> objects;
    for (std::string line; std::getline(lines, line);) {
        objects.push_back(nlohmann::json::parse(line));
    }
    ASSERT_EQ(objects.size(), 3u);
    EXPECT_EQ(objects[0]["command"], "CLEAR");
    EXPECT_EQ(objects[0]["items"][2], (nlohmann::json{{"key", "ntpip"}, {"value", nullptr}}));
    EXPECT_EQ(objects[1]["command"], nullptr);
    EXPECT_EQ(objects[2]["from"], "192.0.2.10");
    EXPECT_EQ(objects[2]["time"], "2026-12-08T12:00:00.020Z");  // the second run's moment
    EXPECT_TRUE(sent.empty());
}

TEST_F(Program, WebServesTheConsoleOverHttpUntilToldToStop) {
    int port = 0;
    std::string token;
    std::vector<int> statuses;
    whileServing = [&](const std::string& out) {
        const std::string marker = "http://127.0.0.1:";
        const auto at = out.find(marker);
        ASSERT_NE(at, std::string::npos) << out;
        port = std::stoi(out.substr(at + marker.size()));
        const std::string host = "127.0.0.1:" + std::to_string(port);
        test::LoopbackClient browser(static_cast<std::uint16_t>(port));
        ASSERT_TRUE(browser.send(test::httpRequest("GET", "/api/session", host)));
        const auto session = browser.answer();
        ASSERT_TRUE(session);
        token = nlohmann::json::parse(session->body)["token"];
        const std::string body = R"({"ntpip": "192.0.2.124"})";
        for (const char* origin : {"http://127.0.0.1:9", ""}) {
            std::vector<std::pair<std::string, std::string>> headers = {
                {"X-Krvctl-Token", token}, {"Content-Type", "application/json"}};
            if (*origin != '\0') {
                headers.emplace_back("Origin", origin);
            }
            // A refused request ends its connection: each gets one of its own.
            test::LoopbackClient script(static_cast<std::uint16_t>(port));
            script.send(test::httpRequest("POST", "/api/controllers/02:00:00:4B:10:01/assign", host,
                                          headers, body));
            const auto assigned = script.answer();
            statuses.push_back(assigned ? assigned->status : -1);
        }
    };
    const ToolOutput served = run({"--interface", "eth1", "web", "--listen", "127.0.0.1:0"});
    EXPECT_EQ(served.status, kDone) << served.err;
    EXPECT_EQ(served.err, "");
    EXPECT_NE(port, 0);
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(openedInterfaces, std::vector<std::string>{"eth1"});
    // The foreign page's request is refused; the script's with the token is carried out.
    EXPECT_EQ(statuses, (std::vector<int>{403, 200}));
    EXPECT_EQ(controller.values["ntpip"], "192.0.2.124");
    EXPECT_EQ(std::count_if(sent.begin(), sent.end(),
                            [](const std::string& request) {
                                return request.find("#ASSIGN#") != std::string::npos;
                            }),
              1);
}

TEST_F(Program, WebRefusesBadAddressesAndWarnsOffTheLoopback) {
    const ToolOutput bad = run({"web", "--listen", "localhost:7280"});
    EXPECT_EQ(bad.status, kUsage);
    EXPECT_NE(bad.err.find("--listen 'localhost:7280': the address is an IPv4 address"),
              std::string::npos)
        << bad.err;
    EXPECT_EQ(opened, 0);

    // An address this machine does not have: the warning comes first, then the failure.
    const ToolOutput elsewhere = run({"web", "--listen", "192.0.2.250:7280"});
    EXPECT_EQ(elsewhere.status, kUnavailable);
    EXPECT_NE(elsewhere.err.find("WARNING: the console is to listen on 192.0.2.250:7280, which is "
                                 "not a loopback address"),
              std::string::npos)
        << elsewhere.err;
    EXPECT_NE(elsewhere.err.find("krvctl: cannot listen on 192.0.2.250:7280"), std::string::npos);
    EXPECT_TRUE(sent.empty());
}

}  // namespace
}  // namespace krvctl
