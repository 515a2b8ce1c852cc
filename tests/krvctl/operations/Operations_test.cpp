// One assign or clear from start to end against in-memory controllers: the query before, the
// guard, the ACK, the pause and the key-by-key verification, with the exit status each
// outcome gives.
#include "krvctl/operations/Operations.h"

#include <gtest/gtest.h>

#include "tests/krvctl/support/FakeController.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::FakeClock;
using test::FakeEndpoint;
using test::FakeFleet;

constexpr const char* kMac = "02:00:00:4B:10:01";

struct Lan {
    FakeClock clock;
    FakeFleet fleet{clock};
    FakeEndpoint endpoint{clock, fleet.responder()};
    Client client{endpoint, clock, test::countingRandom(), Timing{3000ms, 2}};
    test::FakeController& controller = fleet.add({});

    AssignReport assign(const std::vector<std::string>& arguments, AssignOptions options = {}) {
        const auto assignment = parseAssignmentArguments(arguments);
        EXPECT_TRUE(assignment) << assignment.problem();
        return assignAndVerify(client, kMac, assignment.value(), options);
    }
    std::vector<std::string> sentWords() const {
        std::vector<std::string> words;
        for (const auto& sent : endpoint.sent()) {
            words.push_back(decodeDatagram(sent.bytes).word);
        }
        return words;
    }
};

TEST(AssignAndVerify, AcceptedValuesAreCheckedAfterThePause) {
    Lan lan;
    bool toldOfAck = false;
    const AssignReport report =
        lan.assign({"ntpip=192.0.2.124", "utcclock=20261224183000", "nameserver=8.8.8.8"},
                   {true, false, [&](const AckAnswer& ack) { toldOfAck = ack.accepted; }});
    EXPECT_EQ(report.status, kDone) << report.problem;
    EXPECT_TRUE(toldOfAck);
    EXPECT_EQ(lan.sentWords(), (std::vector<std::string>{"QUERY", "ASSIGN", "QUERY"}));
    // The query after waits out the controller's pause.
    EXPECT_GE(lan.endpoint.sent()[2].at - lan.endpoint.sent()[1].at, 5000ms);
    ASSERT_TRUE(report.verified);
    ASSERT_EQ(report.checks.size(), 3u);
    EXPECT_EQ(report.checks[0].result, CheckResult::Ok);
    EXPECT_EQ(report.before->value("ntpip"), "192.0.2.123");
    EXPECT_EQ(report.checks[0].reported, "192.0.2.124");
    // The clock ran on from the value set while the tool waited.
    EXPECT_EQ(report.checks[1].result, CheckResult::Ok) << report.checks[1].note;
    EXPECT_EQ(report.checks[1].note, "off by +0s");
    // The daemon never reports a public resolver; that is not a failure.
    EXPECT_EQ(report.checks[2].result, CheckResult::Unverified);
}

TEST(AssignAndVerify, AValueThatDidNotTakeEffectIsStatusThree) {
    Lan lan;
    lan.controller.ignoredKeys = {"syslogip", "utcclock"};
    const AssignReport report = lan.assign({"syslogip=192.0.2.51", "utcclock=now"});
    EXPECT_EQ(report.status, kNotTakenEffect);
    ASSERT_EQ(report.checks.size(), 2u);
    EXPECT_EQ(report.checks[0].result, CheckResult::Failed);
    EXPECT_EQ(report.checks[0].reported, "192.0.2.50");
    // The clock was not set: it still runs on, and the pause does not count against it.
    EXPECT_EQ(report.checks[1].result, CheckResult::Ok);

    Lan skewed;
    skewed.controller.ignoredKeys = {"utcclock"};
    skewed.controller.clockOffsetSeconds = -3600;
    const AssignReport late = skewed.assign({"utcclock=now"});
    EXPECT_EQ(late.status, kNotTakenEffect);
    EXPECT_EQ(late.checks[0].note, "off by -1h00m");
}

TEST(AssignAndVerify, TheGuardRefusesBeforeAnythingChanges) {
    Lan lan;
    const AssignReport report = lan.assign({"gateway=10.9.9.1"});
    EXPECT_EQ(report.status, kUsage);
    EXPECT_NE(report.problem.find("--force"), std::string::npos);
    ASSERT_EQ(report.risks.size(), 1u);
    EXPECT_EQ(lan.sentWords(), (std::vector<std::string>{"QUERY"}));

    Lan forced;
    const AssignReport insisted = forced.assign({"gateway=10.9.9.1"}, {true, true, {}});
    EXPECT_EQ(insisted.status, kDone);
    EXPECT_EQ(forced.controller.values["gateway"], "10.9.9.1");
}

TEST(AssignAndVerify, EveryOtherOutcomeHasItsStatus) {
    Lan refusing;
    refusing.controller.accepts = false;
    EXPECT_EQ(refusing.assign({"ntpip=192.0.2.9"}).status, kRefused);
    EXPECT_EQ(refusing.controller.values["ntpip"], "192.0.2.123");

    Lan absent;
    absent.controller.silent = true;
    const AssignReport unanswered = absent.assign({"ntpip=192.0.2.9"});
    EXPECT_EQ(unanswered.status, kNoAnswer);
    EXPECT_EQ(absent.sentWords(), (std::vector<std::string>{"QUERY", "QUERY", "QUERY"}));

    Lan vanishing;
    vanishing.controller.silentAfterAssign = true;
    const AssignReport unverified = vanishing.assign({"ntpip=192.0.2.9"});
    EXPECT_EQ(unverified.status, kNoAnswer);
    EXPECT_NE(unverified.problem.find("accepted but could not be verified"), std::string::npos);

    Lan trusting;
    const AssignReport quick = trusting.assign({"ntpip=192.0.2.9"}, {false, false, {}});
    EXPECT_EQ(quick.status, kDone);
    EXPECT_FALSE(quick.verified);
    EXPECT_EQ(trusting.sentWords(), (std::vector<std::string>{"QUERY", "ASSIGN"}));
}

TEST(ClearAndVerify, TheSettingIsGoneOrTheStatusSaysSo) {
    Lan lan;
    const ClearReport cleared = clearAndVerify(lan.client, kMac, "ntpip", true);
    EXPECT_EQ(cleared.status, kDone);
    EXPECT_EQ(cleared.check->result, CheckResult::Ok);
    EXPECT_EQ(lan.sentWords(), (std::vector<std::string>{"QUERY", "CLEAR", "QUERY"}));

    Lan stubborn;
    stubborn.controller.ignoredKeys = {"syslogip"};
    const ClearReport kept = clearAndVerify(stubborn.client, kMac, "syslogip", true);
    EXPECT_EQ(kept.status, kNotTakenEffect);
    EXPECT_EQ(kept.check->reported, "192.0.2.50");

    // A controller that never reports a name server cannot show it gone.
    Lan silentAboutNames;
    silentAboutNames.controller.values.erase("nameserver");
    const ClearReport unknown = clearAndVerify(silentAboutNames.client, kMac, "nameserver", true);
    EXPECT_EQ(unknown.status, kDone);
    EXPECT_EQ(unknown.check->result, CheckResult::Unverified);

    Lan refusing;
    refusing.controller.accepts = false;
    EXPECT_EQ(clearAndVerify(refusing.client, kMac, "ntpip", false).status, kRefused);
}

}  // namespace
}  // namespace krvctl
