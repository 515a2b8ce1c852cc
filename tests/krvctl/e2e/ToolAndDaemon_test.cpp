// krvctl against the real krvd on the simulated controller: the tool in the peer's namespace
// across a veth pair, or beside the daemon in its own namespace as an ordinary user. What the
// controller ran is read from the simulated tools' record.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>

#include "tests/core/e2e/EndToEndFixture.h"
#include "tests/krvctl/e2e/Lan.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::NetworkLab;
using Json = nlohmann::json;

constexpr const char* kMac = krvd::e2e::kDeviceMac;
constexpr uid_t kNobody = 65534;

// The daemon's end-to-end lab, with krvctl as the configuration tool.
class ToolAndDaemon : public krvd::e2e::EndToEnd {
  protected:
    // A window wide enough for a controller that reads its state slowly on a busy machine;
    // only a discovery listens for all of it.
    ToolRun tool(std::vector<std::string> arguments) {
        if (std::find(arguments.begin(), arguments.end(), "--timeout") == arguments.end()) {
            const bool discovery =
                std::find(arguments.begin(), arguments.end(), "discover") != arguments.end();
            arguments.insert(arguments.begin(), {"--timeout", discovery ? "8" : "20"});
        }
        return runTool(lab->peerNamespace(), arguments);
    }
};

TEST_F(ToolAndDaemon, FindsSetsUpAndClearsAController) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const ToolRun table = tool({"discover"});
    ASSERT_EQ(table.status, 0) << table.err;
    // The clock column may read +-1s: the controller reports whole seconds.
    EXPECT_NE(table.out.find(std::string(kMac) + "  192.0.2.10  255.255.255.0  192.0.2.1  STATIC  "
                                                 "ctl-e2e   5.4.2  37%  yes  "),
              std::string::npos)
        << table.out;

    const ToolRun query = tool({"--json", "query", "02-00-00-4b-10-01"});
    ASSERT_EQ(query.status, 0) << query.err;
    const Json status = Json::parse(query.out);
    EXPECT_EQ(status["mac"], kMac);
    EXPECT_EQ(status["from"], "192.0.2.10");
    EXPECT_EQ(status["ntpip"], "192.0.2.123");

    const ToolRun assign = tool(
        {"--json", "assign", kMac, "ntpip=192.0.2.124", "utcclock=now", "syslogip=192.0.2.51"});
    ASSERT_EQ(assign.status, 0) << assign.err << assign.out;
    const Json report = Json::parse(assign.out);
    EXPECT_EQ(report["accept"], true);
    EXPECT_EQ(report["verified"], true);
    for (const char* key : {"ntpip", "utcclock", "syslogip"}) {
        EXPECT_EQ(report["settings"][key]["result"], "ok") << key << ": " << report.dump();
    }
    std::string record = daemon->commandRecord();
    EXPECT_NE(record.find("trelsetup settimeserver 192.0.2.124\n"), std::string::npos) << record;
    EXPECT_NE(record.find("trelsetup setsyslogserver 192.0.2.51\n"), std::string::npos);

    const ToolRun clear = tool({"clear", kMac, "ntpip"});
    EXPECT_EQ(clear.status, 0) << clear.err;
    EXPECT_NE(clear.out.find("ntpip    192.0.2.124  -    ok"), std::string::npos) << clear.out;
    EXPECT_NE(daemon->commandRecord().find("trelsetup settimeserver --delete\n"),
              std::string::npos);
}

TEST_F(ToolAndDaemon, AWriteTheControllerFailsIsStatusThree) {
    bringUp(NetworkLab::Side::Bridge, {}, {{"answer", "settimeserver", "exit:1"}});
    if (!ready()) {
        return;
    }
    const ToolRun assign = tool({"assign", kMac, "ntpip=192.0.2.200"});
    EXPECT_EQ(assign.status, 3) << assign.err;
    EXPECT_NE(assign.out.find("ntpip    192.0.2.200  192.0.2.123  192.0.2.123  failed"),
              std::string::npos)
        << assign.out;
    EXPECT_NE(assign.err.find("not every value took effect"), std::string::npos);
}

TEST_F(ToolAndDaemon, AnUnknownMacGetsNoAnswerAndNothingChanges) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const ToolRun assign =
        tool({"--timeout", "1", "assign", "02:00:00:00:00:99", "ntpip=192.0.2.9"});
    EXPECT_EQ(assign.status, 2);
    EXPECT_NE(assign.err.find("no answer to the query before assigning"), std::string::npos)
        << assign.err;
    EXPECT_EQ(daemon->commandRecord().find("settimeserver"), std::string::npos);
}

TEST_F(ToolAndDaemon, RunsBesideTheDaemonAsAnOrdinaryUser) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const std::string nobody = std::to_string(kNobody);
    if (krvd::e2e::runQuietly({"setpriv", "--reuid", nobody, "--regid", nobody, "--clear-groups",
                               "test", "-x", KRV_BINARY_DIR "/krvctl/krvctl"}) != 0) {
        GTEST_SKIP() << "the build folder cannot be reached by user " << nobody;
    }
    // The daemon's socket holds the port too; both hear every broadcast on the bridge.
    const ToolRun discover =
        runTool(lab->controllerNamespace(), {"--json", "--timeout", "8", "discover"}, kNobody);
    ASSERT_EQ(discover.status, 0) << discover.err;
    const Json list = Json::parse(discover.out);
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["mac"], kMac);
    EXPECT_EQ(daemon->standardError(), "");
}

}  // namespace
}  // namespace krvctl::e2e
