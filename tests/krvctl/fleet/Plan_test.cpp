// The plan file set against the LAN: only what differs is planned, every conflict and cut-off
// risk becomes a problem on its line, and the exit statuses; the LAN's export reads back as a
// plan that changes nothing.
#include "krvctl/fleet/Plan.h"

#include <gtest/gtest.h>

#include "krvctl/fleet/PlanExport.h"
#include "krvctl/lan/ReplyMatching.h"
#include "tests/krvctl/support/FakeNetwork.h"

namespace krvctl {
namespace {

ControllerRecord controller(const std::string& mac, const std::string& ip,
                            std::vector<Item> more = {}) {
    ControllerRecord record;
    record.mac = mac;
    record.from = ip;
    record.fields = {{"mac", mac},
                     {"ip", ip},
                     {"netmask", "255.255.255.0"},
                     {"gateway", "192.0.2.1"},
                     {"ipscheme", "STATIC"},
                     {"ntpip", "192.0.2.123"}};
    record.fields.insert(record.fields.end(), more.begin(), more.end());
    record.clockOffsetSeconds = 0;
    return record;
}

std::string mac(int index) {
    return "02:00:00:4B:10:" + std::string(index < 10 ? "0" : "") + std::to_string(index);
}

Plan planOf(const std::string& csv, const std::vector<ControllerRecord>& lan,
            std::vector<std::string> cloned = {},
            std::vector<std::vector<std::string>> clonedInterfaces = {}) {
    Discovery discovery;
    discovery.delivery = Delivery::Answered;
    discovery.controllers = lan;
    discovery.conflictedMacs = std::move(cloned);
    discovery.conflictedInterfaces = std::move(clonedInterfaces);
    return makePlan(readPlanFile("plan.csv", csv), discovery);
}

TEST(Plan, OnlyWhatDiffersIsPlanned) {
    std::vector<ControllerRecord> lan = {
        controller(mac(1), "192.0.2.11", {{"syslogip", "192.0.2.50"}}),
        controller(mac(2), "192.0.2.12"), controller(mac(3), "192.0.2.13"),
        controller(mac(4), "192.0.2.14"), controller(mac(5), "192.0.2.15")};
    lan[2].clockOffsetSeconds = -3;
    lan[3].clockOffsetSeconds = 2;
    lan[4].clockOffsetSeconds.reset();
    const Plan plan = planOf(
        "mac,ip,ipscheme,ntpip,syslogip,nameserver,utcclock\n"
            // The same address and scheme, a new time server, a clear, and a clear of nothing.
            + mac(1) + ",192.0.2.11,static,192.0.2.124,-,-,now\n" +
            // The clock within 2 s, a name server that is not reported.
            mac(2) + ",,,,,192.0.2.53,now\n" + mac(3) + ",,,,,,now\n" + mac(4) + ",,,,,,now\n" +
            mac(5) + ",,,,,,now\n",
        lan);
    ASSERT_TRUE(plan.problems.empty()) << plan.problems.front().problem;
    using Changes = std::vector<std::tuple<std::string, std::string, std::string>>;
    const auto changesOf = [](const PlannedController& planned) {
        Changes changes;
        for (const PlannedChange& change : planned.changes) {
            changes.emplace_back(change.key, change.now, change.wanted);
        }
        return changes;
    };
    ASSERT_EQ(plan.controllers.size(), 5u);
    EXPECT_EQ(changesOf(plan.controllers[0]),
              (Changes{{"ntpip", "192.0.2.123", "192.0.2.124"}, {"syslogip", "192.0.2.50", "-"}}));
    EXPECT_EQ(plan.controllers[0].assignment.settings.size(), 1u);
    EXPECT_EQ(plan.controllers[0].clears, std::vector<std::string>{"syslogip"});
    EXPECT_EQ(changesOf(plan.controllers[1]), (Changes{{"nameserver", "", "192.0.2.53"}}));
    EXPECT_EQ(plan.controllers[1].changes[0].note, "no name server reported: sent every time");
    EXPECT_EQ(changesOf(plan.controllers[2]), (Changes{{"utcclock", "", "now"}}));
    EXPECT_EQ(plan.controllers[2].changes[0].note, "off by -3s");
    EXPECT_TRUE(plan.controllers[3].changes.empty());
    EXPECT_EQ(plan.controllers[4].changes.size(), 1u);  // a clock it cannot read is set
    EXPECT_EQ(plan.pending(), 4u);
}

TEST(Plan, ConflictsAndRisksAreProblemsOnTheirLines) {
    ControllerRecord dhcp = controller(mac(4), "192.0.2.14");
    dhcp.fields[4].value = "DHCP";
    ControllerRecord nameless = controller("", "192.0.2.19");
    const std::vector<ControllerRecord> lan = {controller(mac(1), "192.0.2.11"),
                                               controller(mac(2), "192.0.2.12"),
                                               controller(mac(3), "192.0.2.13"),
                                               dhcp,
                                               controller(mac(5), "192.0.2.15"),
                                               controller(mac(6), "192.0.2.16"),
                                               controller(mac(7), "192.0.2.17"),
                                               controller(mac(8), "192.0.2.18"),
                                               nameless};
    const Plan plan = planOf("mac,ip,gateway,location\n" + mac(1) +
                                 ",192.0.2.13,,onto one that keeps it\n" +        // line 2
                                 mac(2) + ",192.0.2.40,,\n" +                     // line 3
                                 mac(9) + ",192.0.2.40,,planned and missing\n" +  // line 4
                                 mac(4) + ",,192.0.2.254,DHCP\n" +                // line 5
                                 mac(5) + ",,198.51.100.1,outside\n" +            // line 6
                                 mac(6) + ",192.0.2.17,,swap\n" +                 // line 7
                                 mac(7) + ",192.0.2.16,,swap\n" +                 // line 8
                                 mac(8) + ",,,cloned\n" +                         // line 9
                                 mac(10) + ",192.0.2.19,,onto the nameless\n",    // line 10
                             lan, {mac(8)});
    const std::vector<std::tuple<int, bool, std::string>> expected = {
        {2, false, "192.0.2.13 is held by 02:00:00:4B:10:03 (not in the file), which keeps it"},
        {4, false, "192.0.2.40 is planned for 02:00:00:4B:10:02 (line 3) too"},
        {5, false,
         "the controller uses DHCP and ignores ip, netmask and gateway; add "
         "ipscheme=STATIC"},
        {6, true, "gateway 198.51.100.1 is outside the subnet 192.0.2.0/24"},
        {9, false, "answered from more than one address"},
        {10, false, "192.0.2.19 is held by 192.0.2.19 (not in the file)"},
    };
    ASSERT_EQ(plan.problems.size(), expected.size()) << plan.problems.back().problem;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const auto& [line, risk, fragment] = expected[i];
        EXPECT_EQ(plan.problems[i].line, line) << fragment;
        EXPECT_EQ(plan.problems[i].risk, risk) << fragment;
        EXPECT_NE(plan.problems[i].problem.find(fragment), std::string::npos)
            << plan.problems[i].problem;
    }
    ASSERT_EQ(plan.missing.size(), 2u);
    EXPECT_EQ(plan.missing[0].mac, mac(9));
    ASSERT_EQ(plan.unplanned.size(), 2u);
    EXPECT_EQ(plan.unplanned[0].mac, mac(3));
    EXPECT_EQ(plan.unplanned[1].from, "192.0.2.19");
}

TEST(Plan, AMacOnTwoInterfacesIsAProblemNamingThem) {
    const std::vector<ControllerRecord> lan = {controller(mac(1), "192.0.2.11"),
                                               controller(mac(2), "192.0.2.12")};
    const Plan plan = planOf("mac,ntpip\n" + mac(1) + ",192.0.2.124\n" + mac(2) + ",\n", lan,
                             {mac(2), mac(1)}, {{}, {"eth1", "eth2"}});
    ASSERT_EQ(plan.problems.size(), 2u);
    EXPECT_EQ(plan.problems[0].problem,
              mac(1) +
                  " answered on more than one interface (eth1, eth2): two controllers share it, "
                  "and what is sent reaches only one");
    EXPECT_NE(plan.problems[1].problem.find("answered from more than one address"),
              std::string::npos);
    EXPECT_TRUE(plan.blocks(true));
}

TEST(Plan, TheExitStatusFollowsTheWorstFinding) {
    const std::vector<ControllerRecord> lan = {controller(mac(1), "192.0.2.11")};
    const std::vector<std::pair<std::string, int>> cases = {
        {"mac,ntpip\n" + mac(1) + ",192.0.2.123\n", kDone},
        {"mac,ntpip\n" + mac(1) + ",192.0.2.124\n", kChangesPending},
        {"mac,ntpip\n" + mac(1) + ",192.0.2.124\n" + mac(2) + ",\n", kNoAnswer},
        {"mac,ntpip\n" + mac(1) + ",192.0.2.1240\n" + mac(2) + ",\n", kUsage},
    };
    for (const auto& [csv, status] : cases) {
        EXPECT_EQ(planStatus(planOf(csv, lan)), status) << csv;
    }
}

TEST(Plan, TheLanExportedReadsBackAsAPlanThatChangesNothing) {
    ControllerRecord hostile =
        controller(mac(1), "192.0.2.11", {{"hostname", "=cmd|' /C calc'!A0"}});
    hostile.fields.push_back({"nameserver", "192.0.2.53"});
    hostile.interface = "eth1";
    const std::vector<ControllerRecord> lan = {
        hostile, controller(mac(2), "192.0.2.12", {{"hostname", "hall \"7\", row\n2\x1b[2J"}}),
        controller("", "192.0.2.19")};
    const PlanExport exported = exportPlan(lan);
    const PlanFile file = readPlanFile("lan.csv", exported.csv);
    ASSERT_TRUE(file.problems.empty()) << file.problems.front().problem;
    ASSERT_EQ(file.rows.size(), 2u);
    // Where each answered is a label: shown, never sent.
    EXPECT_EQ(file.labelColumns, (std::vector<std::string>{"hostname", "interface"}));
    EXPECT_EQ(file.rows[0].labels, (std::vector<std::string>{"'=cmd|' /C calc'!A0", "eth1"}));
    EXPECT_EQ(file.rows[1].labels, (std::vector<std::string>{"hall \"7\", row\\x0A2\\x1B[2J", ""}));
    Discovery discovery;
    discovery.controllers = lan;
    EXPECT_EQ(planStatus(makePlan(file, discovery)), kDone);
}

}  // namespace
}  // namespace krvctl
