// discover --csv, plan and apply as a whole program against the in-memory LAN: the plan's text
// and JSON and exit statuses, nothing sent before the plan is clear and confirmed, the report
// as the controllers finish and at the end, and the LAN exported as a plan file.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/krvctl/cli/Program.h"

namespace krvctl {
namespace {

using nlohmann::json;

class Fleet : public test::Program {
  protected:
    void SetUp() override {
        controller.pausesAfterAssign = true;
        for (const auto& [mac, ip] : {std::pair{"02:00:00:4B:10:02", "192.0.2.11"},
                                      std::pair{"02:00:00:4B:10:03", "192.0.2.12"}}) {
            test::FakeController other;
            other.mac = mac;
            other.from = ip;
            other.values["ip"] = ip;
            other.pausesAfterAssign = true;
            fleet.add(other);
        }
        files["plan.csv"] =
            "mac;ntpip;syslogip;site\r\n"
            "02:00:00:4B:10:01;192.0.2.124;-;north\r\n"
            "02:00:00:4B:10:02;;;south\r\n";
    }
    std::size_t sentOf(const std::string& command) const {
        return static_cast<std::size_t>(std::count_if(sent.begin(), sent.end(), [&](const auto& s) {
            return s.find("#" + command + "#") != std::string::npos;
        }));
    }
};

TEST_F(Fleet, PlanShowsWhatWouldChangeAndExitsByWhatItFound) {
    const test::ToolOutput pending = run({"plan", "plan.csv"});
    EXPECT_EQ(pending.status, 4) << pending.err;
    EXPECT_NE(pending.out.find("02:00:00:4B:10:01  line 2  site=north\n"
                               "  ntpip     192.0.2.123  →  192.0.2.124\n"
                               "  syslogip  192.0.2.50   →  (cleared)\n"),
              std::string::npos)
        << pending.out;
    EXPECT_NE(pending.out.find("not in the file, left alone: 02:00:00:4B:10:03  192.0.2.12  ctl\n"),
              std::string::npos);
    EXPECT_EQ(sent.size(), 1u);  // the discovery's QUERY, nothing else

    files["plan.csv"] += "02:00:00:4B:10:09;192.0.2.124;;spare\r\n";
    const json plan = json::parse(run({"plan", "--json", "plan.csv"}).out);
    EXPECT_EQ(plan, json::parse(R"({
        "changes": [{"mac": "02:00:00:4B:10:01", "site": "north",
                     "ntpip": {"now": "192.0.2.123", "wanted": "192.0.2.124"},
                     "syslogip": {"now": "192.0.2.50", "wanted": "-"}}],
        "missing": [{"mac": "02:00:00:4B:10:09", "site": "spare"}],
        "unplanned": [{"mac": "02:00:00:4B:10:03", "from": "192.0.2.12", "ip": "192.0.2.12",
                       "hostname": "ctl"}],
        "problems": [], "warnings": [], "absent": []})"));

    // A row with a problem counts as neither done nor silent, whatever the LAN holds.
    files["plan.csv"] += "02:00:00:4B:10:03;192.0.2.1240;;\r\n";
    EXPECT_EQ(json::parse(run({"--json", "plan", "plan.csv"}).out)["problems"][0]["line"], 5);
    const std::string withProblem = run({"plan", "plan.csv"}).out;
    EXPECT_NE(withProblem.find("plan.csv:5: ntpip '192.0.2.1240': "), std::string::npos);
    EXPECT_NE(withProblem.find("4 controllers planned: 1 to change, 1 as planned already, 1 not "
                               "answering, 1 with a problem in their row; 0 others on the LAN; "
                               "1 problem\n"),
              std::string::npos)
        << withProblem;

    const int openedBefore = opened;
    const test::ToolOutput unreadable = run({"plan", "--json", "nope.csv"});
    EXPECT_EQ(unreadable.status, kUsage);
    EXPECT_EQ(json::parse(unreadable.out)["problems"][0]["problem"],
              "cannot read it: No such file or directory");
    EXPECT_EQ(opened, openedBefore);
    EXPECT_NE(run({"apply", "--yes", "nope.csv"}).out.find("nope.csv: cannot read it: "),
              std::string::npos);
}

TEST_F(Fleet, ApplySendsNothingUntilThePlanIsClearAndConfirmed) {
    struct Case {
        std::string row;  // added to the plan
        std::vector<std::string> options;
        bool atTerminal;
        std::vector<std::string> typed;
        int status;
        std::string said;
    };
    const std::vector<Case> cases = {
        {"02:00:00:4B:10:03;192.0.2.1240;;\r\n",
         {"--yes", "--force"},
         false,
         {},
         kUsage,
         "nothing sent: the plan has problems\n"},
        {"02:00:00:4B:10:03;;;\r\n", {}, false, {}, kUsage, "without a terminal to confirm on"},
        {"02:00:00:4B:10:03;;;\r\n", {}, true, {"n"}, 4, "? [y/N] krvctl: nothing sent\n"},
        {"mac;gateway\r\n02:00:00:4B:10:03;198.51.100.1\r\n",
         {"--yes"},
         false,
         {},
         kUsage,
         "(cut-off risks only: --force sends all the same)"},
    };
    const std::string plan = files["plan.csv"];
    for (const Case& c : cases) {
        files["plan.csv"] = c.row.starts_with("mac") ? c.row : plan + c.row;
        terminal = c.atTerminal;
        typed = c.typed;
        std::vector<std::string> arguments = {"apply"};
        arguments.insert(arguments.end(), c.options.begin(), c.options.end());
        arguments.push_back("plan.csv");
        const test::ToolOutput refused = run(arguments);
        EXPECT_EQ(refused.status, c.status) << c.said;
        EXPECT_NE(refused.err.find(c.said), std::string::npos) << refused.err;
    }
    EXPECT_EQ(sentOf("ASSIGN") + sentOf("CLEAR"), 0u);

    // Forced past the risk; confirmed at the terminal.
    EXPECT_EQ(run({"apply", "--yes", "--force", "plan.csv"}).status, kDone);
    EXPECT_EQ(fleet.at(2).values["gateway"], "198.51.100.1");
    files["plan.csv"] = plan;
    terminal = true;
    typed = {"y"};
    EXPECT_EQ(run({"apply", "plan.csv"}).status, kDone);
    EXPECT_EQ(controller.values["ntpip"], "192.0.2.124");
    EXPECT_EQ(sentOf("ASSIGN"), 2u);
    EXPECT_EQ(sentOf("CLEAR"), 1u);
}

TEST_F(Fleet, ApplyReportsEachControllerAsItFinishesAndAllAtTheEnd) {
    const test::ToolOutput plain = run({"apply", "--yes", "--report", "out.csv", "plan.csv"});
    EXPECT_EQ(plain.status, kDone) << plain.err;
    EXPECT_NE(plain.err.find("02:00:00:4B:10:01  line 2  site=north: ok (ntpip ok, syslogip ok)\n"),
              std::string::npos)
        << plain.err;
    EXPECT_NE(plain.out.find("LINE  MAC                SITE   RESULT     NTPIP  SYSLOGIP\n"
                             "2     02:00:00:4B:10:01  north  ok         ok     ok\n"
                             "3     02:00:00:4B:10:02  south  unchanged  -      -\n"),
              std::string::npos)
        << plain.out;
    EXPECT_EQ(files["out.csv"],
              "line;mac;site;result;ntpip;syslogip;problem\n"
              "2;02:00:00:4B:10:01;north;ok;ok;ok;\n"
              "3;02:00:00:4B:10:02;south;unchanged;;;\n");

    // Once more at a terminal: nothing left to do, so nothing asked.
    terminal = true;
    EXPECT_EQ(run({"apply", "--json", "plan.csv"}).status, kDone);

    controller.values["ntpip"] = "192.0.2.9";
    typed = {"yes"};
    const test::ToolOutput live = run({"apply", "--json", "plan.csv"});
    EXPECT_NE(live.err.find("\rapplying: 0 of 1 done, 0 ok, 0 failed, 1 waiting\x1b[K"),
              std::string::npos)
        << live.err;
    EXPECT_NE(live.err.find("\rapplying: 1 of 1 done, 1 ok, 0 failed, 0 waiting\x1b[K\n"),
              std::string::npos);
    const json report = json::parse(live.out);
    EXPECT_EQ(report["controllers"][0]["ntpip"],
              json::parse(R"({"wanted": "192.0.2.124", "reported": "192.0.2.124",
                              "result": "ok", "note": ""})"));
}

TEST_F(Fleet, ApplyInterruptedStillReportsWhatWasSent) {
    files["plan.csv"] += "02:00:00:4B:10:03;192.0.2.124;;west\r\n";
    respond = [this, lanAnswers = respond](const std::string& request, test::FakeEndpoint& lan) {
        lanAnswers(request, lan);
        if (request.find("#ASSIGN#") != std::string::npos) {
            lan.interrupt();  // Ctrl-C during the first controller's pause
        }
    };
    const test::ToolOutput run1 =
        run({"apply", "--yes", "--parallel", "1", "--report", "out.csv", "plan.csv"});
    EXPECT_TRUE(interruptsCaught);
    EXPECT_EQ(run1.status, kNoAnswer);
    EXPECT_EQ(sentOf("ASSIGN"), 1u);
    EXPECT_NE(run1.err.find("krvctl: interrupted: "), std::string::npos) << run1.err;
    EXPECT_EQ(files["out.csv"],
              "line;mac;site;result;ntpip;syslogip;problem\n"
              "2;02:00:00:4B:10:01;north;no answer;unverified;unverified;"
              "interrupted before it was checked\n"
              "3;02:00:00:4B:10:02;south;unchanged;;;\n"
              "4;02:00:00:4B:10:03;west;not sent;;;interrupted before it started\n");
}

TEST_F(Fleet, TheReportSaysWhatWentWrongAndARefusedPlanIsRecordedToo) {
    controller.ignoredKeys = {"ntpip"};
    files["plan.csv"] =
        "mac;ntpip;site;absent\r\n"
        "02:00:00:4B:10:01;192.0.2.124;=1+1;\r\n"
        "02:00:00:4B:10:09;192.0.2.124;spare;yes\r\n";
    EXPECT_EQ(run({"plan", "plan.csv"}).status, 4);  // the spare is no failure
    const test::ToolOutput applied = run({"apply", "--yes", "--report", "out.csv", "plan.csv"});
    EXPECT_EQ(applied.status, kNotTakenEffect) << applied.err;
    EXPECT_EQ(files["out.csv"],
              "line;mac;site;result;ntpip;problem\n"
              "2;02:00:00:4B:10:01;'=1+1;not taken effect;failed (wanted 192.0.2.124, reported "
              "192.0.2.123);accepted, but not every value took effect\n"
              "3;02:00:00:4B:10:09;spare;absent as planned;;not installed yet, as the plan says\n");
    EXPECT_NE(applied.err.find("applied: 0 changed and verified, 1 absent as planned, 1 failed"),
              std::string::npos)
        << applied.err;

    const std::size_t assignsBefore = sentOf("ASSIGN");
    files["bad.csv"] = "mac,ntpip\n02:00:00:4B:10:01,10100100101\n02:00:00:4B:10,\n";
    const test::ToolOutput refused =
        run({"apply", "--json", "--yes", "--report", "bad-report.csv", "bad.csv"});
    EXPECT_EQ(refused.status, kUsage);
    const json record = json::parse(refused.out);
    EXPECT_EQ(record["controllers"][0]["result"], "not sent");
    EXPECT_NE(record["controllers"][0]["problem"].get<std::string>().find("thousands separators"),
              std::string::npos);
    EXPECT_EQ(record["problems"].size(), 2u);
    EXPECT_NE(files["bad-report.csv"].find("3,,problem,\"mac '02:00:00:4B:10': "), std::string::npos)
        << files["bad-report.csv"];
    files["utf16.csv"] = std::string("\xFF\xFEm\0", 4);
    EXPECT_EQ(json::parse(run({"apply", "--json", "utf16.csv"}).out)["problems"][0]["line"], 1);
    EXPECT_EQ(sentOf("ASSIGN"), assignsBefore);
}

TEST_F(Fleet, DiscoverCsvWritesThePlanFileAndSaysWhatItLeftOut) {
    test::FakeController nameless;
    nameless.mac = "";
    nameless.from = "192.0.2.66";
    fleet.add(nameless);
    respond = [inner = respond](const std::string& request, test::FakeEndpoint& lan) {
        inner(request, lan);
        lan.deliver("KRV2#STATUS#seqid=" + test::itemOf(request, "seqid") + "#ip=192.0.2.67",
                    "192.0.2.67");
    };
    const test::ToolOutput csv = run({"discover", "--csv"});
    EXPECT_EQ(csv.status, kDone);
    EXPECT_EQ(
        csv.out,
        "mac,ip,netmask,gateway,ipscheme,ntpip,syslogip,nameserver,utcclock,hostname,interface\n"
        "02:00:00:4B:10:01,192.0.2.10,255.255.255.0,192.0.2.1,STATIC,192.0.2.123,"
        "192.0.2.50,192.0.2.53,,ctl,\n"
        "02:00:00:4B:10:02,192.0.2.11,255.255.255.0,192.0.2.1,STATIC,192.0.2.123,"
        "192.0.2.50,192.0.2.53,,ctl,\n"
        "02:00:00:4B:10:03,192.0.2.12,255.255.255.0,192.0.2.1,STATIC,192.0.2.123,"
        "192.0.2.50,192.0.2.53,,ctl,\n");
    EXPECT_NE(csv.err.find("krvctl: set apart 1 reply without a well-formed MAC: not listed\n"),
              std::string::npos)
        << csv.err;
    EXPECT_NE(csv.err.find("krvctl: left out the controller at 192.0.2.66: it reports no MAC"),
              std::string::npos);
    EXPECT_EQ(remembered, (std::vector<std::string>{"02:00:00:4B:10:01", "02:00:00:4B:10:02",
                                                    "02:00:00:4B:10:03"}));
    EXPECT_EQ(run({"discover", "--csv", "--json"}).status, kUsage);
}

}  // namespace
}  // namespace krvctl
