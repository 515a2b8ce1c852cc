// apply against the in-memory LAN, whose controllers are busy for their pause after an ASSIGN
// as the daemon is: never more than N controllers at once while the pauses overlap, a failure
// in the middle leaving the rest applied, a second apply that sends nothing, and a thousand
// controllers with nothing lost.
#include "krvctl/fleet/Apply.h"

#include <gtest/gtest.h>

#include <map>

#include "krvctl/operations/Operations.h"
#include "tests/krvctl/support/FakeController.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::FakeController;
using test::itemOf;

std::string macOf(int index) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "02:00:00:4B:%02X:%02X", index / 256, index % 256);
    return mac;
}

struct Lan {
    test::FakeClock clock;
    test::FakeFleet fleet{clock};
    test::FakeEndpoint endpoint{clock, fleet.responder()};
    Client client{endpoint, clock, test::countingRandom(), Timing{3000ms, 2}};

    explicit Lan(int controllers) {
        for (int i = 0; i < controllers; ++i) {
            FakeController controller;
            controller.mac = macOf(i);
            controller.from = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
            controller.values["ip"] = controller.from;
            controller.values["netmask"] = "255.255.0.0";
            controller.values["gateway"] = "10.0.255.254";
            controller.pausesAfterAssign = true;
            fleet.add(controller);
        }
    }

    Plan plan(const std::string& csv) {
        return makePlan(readPlanFile("plan.csv", csv), client.discover());
    }
    std::size_t sent(const std::string& command) const {
        return static_cast<std::size_t>(std::count_if(
            endpoint.sent().begin(), endpoint.sent().end(),
            [&](const auto& d) { return d.bytes.find("#" + command + "#") != std::string::npos; }));
    }
};

// Every controller gets a new time server and loses its syslog server.
std::string fleetPlan(int controllers) {
    std::string csv = "mac;ntpip;syslogip;site\r\n";
    for (int i = 0; i < controllers; ++i) {
        csv += macOf(i) + ";192.0.2.124;-;house " + std::to_string(i) + "\r\n";
    }
    return csv;
}

TEST(Apply, NeverMoreThanNControllersAtOnceWhileTheirPausesOverlap) {
    Lan lan(20);
    const Plan plan = lan.plan(fleetPlan(20));
    ASSERT_EQ(plan.pending(), 20u);
    const auto start = lan.clock.elapsed();
    std::size_t mostInFlight = 0;
    const ApplyReport report =
        applyPlan(lan.client, plan, {8, {}, [&](const ApplyProgress& p) {
                                         mostInFlight = std::max(mostInFlight, p.inFlight);
                                     }});
    EXPECT_EQ(report.status, kDone);
    // Seen from the LAN: from its first request to its last, never more than 8 controllers.
    std::map<std::string, std::pair<std::chrono::milliseconds, std::chrono::milliseconds>> span;
    std::map<std::string, std::chrono::milliseconds> assigned;
    for (const auto& sent : lan.endpoint.sent()) {
        const std::string mac = itemOf(sent.bytes, "mac");
        if (sent.at < start || mac == "<absent>") {
            continue;
        }
        span.try_emplace(mac, sent.at, sent.at).first->second.second = sent.at;
        if (sent.bytes.find("#ASSIGN#") != std::string::npos) {
            assigned[mac] = sent.at;
        } else if (sent.bytes.find("#CLEAR#") != std::string::npos) {
            EXPECT_GE(sent.at - assigned.at(mac), 5000ms) << "a CLEAR inside the pause";
        }
    }
    std::size_t most = 0;
    for (const auto& [mac, interval] : span) {
        std::size_t overlapping = 0;
        for (const auto& [other, span2] : span) {
            overlapping += span2.first <= interval.first && interval.first <= span2.second ? 1 : 0;
        }
        most = std::max(most, overlapping);
    }
    EXPECT_EQ(most, 8u);
    EXPECT_EQ(mostInFlight, 8u);
    // Three rounds of one pause each, not twenty.
    EXPECT_LT(lan.clock.elapsed() - start, 3 * 5500ms);
}

TEST(Apply, AFailureInTheMiddleLeavesTheRestAppliedAndTheWorstDecides) {
    Lan lan(7);
    lan.fleet.at(1).accepts = false;
    lan.fleet.at(2).ignoredKeys = {"ntpip"};
    lan.fleet.at(3).silentAfterAssign = true;
    std::string csv = fleetPlan(7) + macOf(9) + ";192.0.2.124;;gone\r\n";
    const Plan plan = lan.plan(csv);
    // Slowed after its discovery, so that it hears the ASSIGN again and pauses twice: waited
    // out, not failed.
    lan.fleet.at(6).delay = 1600ms;
    lan.fleet.at(4).silent = true;  // answered the discovery, then went away
    std::vector<std::string> finished;
    const ApplyReport report =
        applyPlan(lan.client, plan,
                  {2,
                   [&](const ControllerReport& r, const ApplyProgress& p) {
                       finished.push_back(r.mac + " " + std::string(outcomeName(r.outcome)) + " " +
                                          std::to_string(p.done));
                   },
                   {}});
    const std::vector<std::pair<Outcome, std::string>> expected = {
        {Outcome::Ok, "ok ok"},
        {Outcome::Refused, "failed failed"},
        {Outcome::NotTakenEffect, "failed ok"},
        {Outcome::Unknown, "unverified unverified"},
        {Outcome::Unknown, "unverified unverified"},
        {Outcome::Ok, "ok ok"},
        {Outcome::Ok, "ok ok"},
        {Outcome::Missing, ""},
    };
    ASSERT_EQ(report.controllers.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ControllerReport& controller = report.controllers[i];
        std::string results;
        for (const Check& check : controller.checks) {
            results += (results.empty() ? "" : " ") + std::string(resultName(check.result));
        }
        EXPECT_EQ(controller.outcome, expected[i].first) << controller.mac;
        EXPECT_EQ(results, expected[i].second) << controller.mac;
        EXPECT_EQ(controller.labels,
                  std::vector<std::string>{i < 7 ? "house " + std::to_string(i) : "gone"});
    }
    EXPECT_EQ(report.status, kNotTakenEffect);
    EXPECT_EQ(finished.size(), 7u);
    EXPECT_EQ(finished.back().substr(finished.back().size() - 2), " 7");
}

TEST(Apply, SilenceAfterSendingIsFollowedByAQueryThatSaysWhatIsKnown) {
    Lan lan(4);
    lan.fleet.at(1).hearsAssign = false;
    lan.fleet.at(2).silentAfterAssign = true;
    lan.fleet.at(3).ignoredKeys = {"ntpip"};
    lan.fleet.at(3).hearsAssign = false;
    const Plan plan = lan.plan(fleetPlan(4));
    // Answers every copy of the ASSIGN after the window: it took the change, only late.
    lan.fleet.at(0).delay = 3500ms;
    const ApplyReport report = applyPlan(lan.client, plan, {4, {}, {}});
    const std::vector<std::tuple<Outcome, ExitStatus, std::string>> expected = {
        {Outcome::VerifiedLate, kDone, "ok ok"},
        {Outcome::NotChanged, kNoAnswer, "failed"},
        {Outcome::Unknown, kNoAnswer, "unverified unverified"},
        {Outcome::NotChanged, kNoAnswer, "failed"},
    };
    ASSERT_EQ(report.controllers.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ControllerReport& controller = report.controllers[i];
        std::string results;
        for (const Check& check : controller.checks) {
            results += (results.empty() ? "" : " ") + std::string(resultName(check.result));
        }
        EXPECT_EQ(controller.outcome, std::get<0>(expected[i])) << i << ": " << controller.problem;
        EXPECT_EQ(controller.status, std::get<1>(expected[i])) << i;
        EXPECT_EQ(results, std::get<2>(expected[i])) << i;
    }
    // The late one's clear went out after its change was found, and took effect.
    EXPECT_EQ(lan.fleet.at(0).values.count("syslogip"), 0u);
    EXPECT_EQ(report.status, kNoAnswer);
}

TEST(Apply, AChangeGoesOutAgainOnlyWhenItsAnswerIsOverdue) {
    Lan lan(2);
    // Answered its discovery late, so its ACK comes as late: no second copy, no second pause.
    lan.fleet.at(0).delay = 1600ms;
    // The first copy is lost on the way: the second goes out all the same.
    lan.fleet.at(1).answerFromAttempt = 2;
    const Plan plan =
        lan.plan("mac;ntpip\r\n" + macOf(0) + ";192.0.2.124\r\n" + macOf(1) + ";192.0.2.124\r\n");
    EXPECT_EQ(plan.controllers.at(0).current.answeredAfter, 1600ms);
    const ApplyReport report = applyPlan(lan.client, plan, {2, {}, {}});
    EXPECT_EQ(report.controllers.at(0).outcome, Outcome::Ok);
    EXPECT_EQ(report.controllers.at(1).outcome, Outcome::Ok);
    EXPECT_EQ(lan.sent("ASSIGN"), 3u);
}

TEST(Apply, DiscoveryForAPlanEndsShortlyAfterThePlannedHaveAnswered) {
    struct Case {
        std::string what;
        std::vector<int> expected;
        std::chrono::milliseconds firstDelay;
        std::chrono::milliseconds secondDelay;
        std::chrono::milliseconds otherDelay;
        std::chrono::milliseconds endsAfter;
        std::size_t listed;
    };
    const std::vector<Case> cases = {
        {"all planned answered, a quick other", {0, 1}, 40ms, 40ms, 300ms, 540ms, 3},
        {"all planned answered, a slow other", {0, 1}, 40ms, 40ms, 2000ms, 540ms, 2},
        {"a planned one silent: three windows", {0, 1, 7}, 40ms, 40ms, 300ms, 9000ms, 3},
        {"still answering: a window past the last", {0, 1, 7}, 40ms, 7000ms, 9500ms, 12500ms, 3},
        {"a planned one slow: a quarter of its time more", {0, 1}, 40ms, 2500ms, 2900ms, 3125ms, 3},
        // Controllers all reading their state at once answer late.
        {"nothing answers: ten windows", {0, 1}, 60000ms, 40000ms, 40000ms, 30000ms, 0},
        {"the first answer late: a window past it", {0, 1}, 12000ms, 40000ms, 40000ms, 15000ms, 1},
    };
    for (const Case& c : cases) {
        Lan lan(3);
        lan.fleet.at(0).delay = c.firstDelay;
        lan.fleet.at(1).delay = c.secondDelay;
        lan.fleet.at(2).delay = c.otherDelay;
        std::vector<std::string> expected;
        for (const int index : c.expected) {
            expected.push_back(macOf(index));
        }
        const auto start = lan.clock.elapsed();
        const Discovery found = lan.client.discover(expected);
        EXPECT_EQ(lan.clock.elapsed() - start, c.endsAfter) << c.what;
        EXPECT_EQ(found.controllers.size(), c.listed) << c.what;
    }
}

// The tool's own schedule, where every controller has a processor of its own and answers in
// 200 ms: a change to two dozen at once costs little more than one verified assign (their
// pauses overlap, the discovery ends shortly after the last planned answer), and a second
// apply is over once they have answered.
TEST(Apply, AFleetAtOnceCostsLittleMoreThanOneVerifiedAssign) {
    constexpr int kControllers = 24;
    Lan lan(kControllers);
    for (int i = 0; i < kControllers; ++i) {
        lan.fleet.at(i).delay = 200ms;
    }
    const auto assignment = parseAssignmentArguments({"ntpip=192.0.2.60"});
    ASSERT_TRUE(assignment);
    auto start = lan.clock.elapsed();
    EXPECT_EQ(assignAndVerify(lan.client, macOf(0), assignment.value(), {}).status, kDone);
    const auto oneAssign = lan.clock.elapsed() - start;

    std::string csv = "mac,ntpip\n";
    std::vector<std::string> macs;
    for (int i = 0; i < kControllers; ++i) {
        csv += macOf(i) + ",192.0.2.124\n";
        macs.push_back(macOf(i));
    }
    const auto applied = [&] {
        const auto begun = lan.clock.elapsed();
        const Plan plan = makePlan(readPlanFile("plan.csv", csv), lan.client.discover(macs));
        ApplyOptions options;
        options.parallel = kControllers;
        const ApplyReport report = applyPlan(lan.client, plan, options);
        EXPECT_EQ(report.status, kDone);
        return lan.clock.elapsed() - begun;
    };
    const auto first = applied();
    EXPECT_LE(first * 10, oneAssign * 13) << first.count() << " ms against " << oneAssign.count();
    EXPECT_LE(applied(), 1500ms);
}

TEST(Apply, ASecondApplyOfTheSameFileSendsNothing) {
    Lan lan(5);
    lan.fleet.at(2).clockOffsetSeconds = 4000;
    const std::string csv = "mac,ip,ntpip,syslogip,utcclock\n" + macOf(0) + ",10.0.0.77,,-,now\n" +
                            macOf(1) + ",,192.0.2.124,,\n" + macOf(2) + ",,,,now\n";
    const Plan first = lan.plan(csv);
    ASSERT_TRUE(first.problems.empty()) << first.problems.front().problem;
    EXPECT_EQ(applyPlan(lan.client, first, {}).status, kDone);
    const std::size_t before = lan.endpoint.sent().size();

    const Plan second = lan.plan(csv);
    EXPECT_EQ(planStatus(second), kDone);
    const ApplyReport again = applyPlan(lan.client, second, {});
    EXPECT_EQ(again.status, kDone);
    EXPECT_EQ(lan.endpoint.sent().size(), before + 1);  // the discovery's QUERY only
    for (const ControllerReport& controller : again.controllers) {
        EXPECT_EQ(controller.outcome, Outcome::Unchanged);
    }
}

TEST(Apply, AThousandControllersArePlannedAndAppliedWithNothingLost) {
    Lan lan(1000);
    const Plan plan = lan.plan(fleetPlan(1000));
    ASSERT_EQ(plan.pending(), 1000u);
    const ApplyReport report = applyPlan(lan.client, plan, {});
    EXPECT_EQ(report.status, kDone);
    EXPECT_EQ(std::count_if(report.controllers.begin(), report.controllers.end(),
                            [](const ControllerReport& r) { return r.outcome == Outcome::Ok; }),
              1000);
    EXPECT_EQ(lan.sent("ASSIGN"), 1000u);
    EXPECT_EQ(lan.sent("CLEAR"), 1000u);
}

}  // namespace
}  // namespace krvctl
