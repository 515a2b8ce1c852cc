// The conversation with controllers against an in-memory LAN: retries on silence within the
// window, seqid and MAC matching, de-duplication, listening for the whole discovery window, and
// many requests side by side on the one endpoint.
#include "krvctl/lan/Client.h"

#include <gtest/gtest.h>

#include <map>

#include "tests/krvctl/support/FakeController.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::FakeClock;
using test::FakeController;
using test::FakeEndpoint;
using test::FakeFleet;
using test::itemOf;

struct Lan {
    FakeClock clock;
    FakeFleet fleet{clock};
    FakeEndpoint endpoint{clock, fleet.responder()};
    Client client{endpoint, clock, test::countingRandom(), Timing{3000ms, 2}};

    std::vector<std::chrono::milliseconds> sendTimes() const {
        std::vector<std::chrono::milliseconds> times;
        for (const auto& sent : endpoint.sent()) {
            times.push_back(sent.at);
        }
        return times;
    }
};

TEST(Client, SilenceIsRetriedWithinTheWindowWithTheSameSeqid) {
    Lan lan;
    const QueryAnswer answer = lan.client.query("02:00:00:4B:10:01");
    EXPECT_EQ(answer.delivery, Delivery::Silent);
    EXPECT_EQ(lan.sendTimes(), (std::vector<std::chrono::milliseconds>{0ms, 1500ms, 2250ms}));
    EXPECT_EQ(lan.clock.elapsed(), 3000ms);
    const std::string seqid = itemOf(lan.endpoint.sent()[0].bytes, "seqid");
    EXPECT_EQ(seqid.size(), 16u);
    for (const auto& sent : lan.endpoint.sent()) {
        EXPECT_EQ(sent.bytes, "KRV2#QUERY#seqid=" + seqid + "#mac=02:00:00:4B:10:01");
    }
}

TEST(Client, AnAnswerStopsTheRetriesAndAFreshRequestGetsAFreshSeqid) {
    Lan lan;
    lan.fleet.add({}).answerFromAttempt = 2;
    const QueryAnswer answer = lan.client.query("02:00:00:4B:10:01");
    ASSERT_EQ(answer.delivery, Delivery::Answered);
    EXPECT_EQ(answer.record->value("ntpip"), "192.0.2.123");
    EXPECT_EQ(lan.sendTimes(), (std::vector<std::chrono::milliseconds>{0ms, 1500ms}));
    EXPECT_EQ(lan.clock.elapsed(), 1540ms);  // ends with the answer, not the window

    lan.client.query("02:00:00:4B:10:01");
    EXPECT_NE(itemOf(lan.endpoint.sent()[0].bytes, "seqid"),
              itemOf(lan.endpoint.sent().back().bytes, "seqid"));
}

TEST(Client, OnlyTheAnswerToThisRequestFromThisControllerCounts) {
    FakeClock clock;
    FakeEndpoint endpoint(clock, [](const std::string& request, FakeEndpoint& lan) {
        const std::string seqid = itemOf(request, "seqid");
        const std::string mac = "02:00:00:4B:10:01";
        lan.deliver(request, "192.0.2.250", 1ms);  // the tool hears its own broadcast
        lan.deliver("junk\x1b[2J", "192.0.2.66", 2ms);
        lan.deliver(test::statusText("0000000000000bad", mac, {{"hostname", "stale"}}),
                    "192.0.2.10", 3ms);
        lan.deliver(test::statusText(seqid, "02:00:00:4B:10:99", {{"hostname", "other"}}),
                    "192.0.2.11", 4ms);
        lan.deliver("KRV2#STATUS#seqid=" + seqid + "#hostname=no-mac", "192.0.2.12", 5ms);
        lan.deliver(test::statusText(seqid, mac, {{"hostname", "right"}}), "192.0.2.10", 6ms);
    });
    Client client(endpoint, clock, test::countingRandom(), Timing{3000ms, 2});
    const QueryAnswer answer = client.query("02:00:00:4B:10:01");
    ASSERT_EQ(answer.delivery, Delivery::Answered);
    EXPECT_EQ(answer.record->value("hostname"), "right");
    EXPECT_EQ(answer.record->from, "192.0.2.10");
}

TEST(Client, DiscoveryListensTheWholeWindowAndListsEachControllerOnce) {
    Lan lan;
    for (int i = 0; i < 3; ++i) {
        FakeController controller;
        controller.mac = "02:00:00:00:00:0" + std::to_string(i);
        controller.from = "192.0.2.1" + std::to_string(i);
        controller.values["ip"] = controller.from;
        controller.delay = std::chrono::milliseconds(100 + 1100 * i);  // the last after 2.3 s
        lan.fleet.add(controller);
    }
    // The first controller answers twice, the second from two addresses.
    lan.fleet.add(lan.fleet.at(0)).delay = 500ms;
    FakeController clone = lan.fleet.at(1);
    clone.from = "192.0.2.99";
    lan.fleet.add(clone);

    const Discovery found = lan.client.discover();
    EXPECT_EQ(found.delivery, Delivery::Answered);
    EXPECT_EQ(found.requestsSent, 1);
    ASSERT_EQ(found.controllers.size(), 3u);
    EXPECT_EQ(found.controllers[0].from, "192.0.2.10");
    EXPECT_EQ(found.controllers[2].from, "192.0.2.12");
    EXPECT_EQ(found.lastNewReplyAfter, 2300ms);
    EXPECT_EQ(lan.clock.elapsed(), 3000ms);
    EXPECT_EQ(
        found.conflicts,
        (std::vector<std::string>{"MAC 02:00:00:00:00:01 answered from 192.0.2.11, 192.0.2.99"}));
    EXPECT_EQ(lan.endpoint.sent()[0].bytes.find("#mac="), std::string::npos);
}

TEST(Client, AThousandControllersAnsweringAtOnceAreAllListed) {
    Lan lan;
    for (int i = 0; i < 1000; ++i) {
        FakeController controller;
        char mac[18];
        std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", i / 256, i % 256);
        controller.mac = mac;
        controller.from = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
        controller.values["ip"] = controller.from;
        lan.fleet.add(controller);
    }
    const Discovery found = lan.client.discover();
    EXPECT_EQ(found.controllers.size(), 1000u);
    EXPECT_EQ(found.conflicts.size(), 0u);
}

TEST(Client, ABroadcastThatCannotLeaveEndsTheExchangeAtOnce) {
    Lan lan;
    lan.endpoint.failBroadcasts("Network is unreachable");
    const Discovery found = lan.client.discover();
    EXPECT_EQ(found.delivery, Delivery::NotSent);
    EXPECT_EQ(found.problem, "Network is unreachable");
    EXPECT_EQ(lan.clock.elapsed(), 0ms);
}

TEST(Client, EachAssignAttemptCarriesTheClockOfItsOwnMoment) {
    Lan lan;
    lan.fleet.add({}).answerFromAttempt = 3;
    const auto assignment = parseAssignmentArguments({"utcclock=now"});
    const AckAnswer ack = lan.client.assign("02:00:00:4B:10:01", assignment.value());
    ASSERT_EQ(ack.delivery, Delivery::Answered);
    EXPECT_TRUE(ack.accepted);
    ASSERT_EQ(lan.endpoint.sent().size(), 3u);
    EXPECT_EQ(itemOf(lan.endpoint.sent()[0].bytes, "utcclock"), "20261208120000");
    EXPECT_EQ(itemOf(lan.endpoint.sent()[2].bytes, "utcclock"), "20261208120002");  // at 2.25 s
    EXPECT_EQ(ack.sentClock, "20261208120002");
}

TEST(Client, DiscoverySetsApartRepliesWithoutAWellFormedMac) {
    FakeClock clock;
    FakeEndpoint endpoint(clock, [](const std::string& request, FakeEndpoint& lan) {
        const std::string seqid = itemOf(request, "seqid");
        const auto status = [&](const std::string& macItem, const std::string& from) {
            lan.deliver("KRV2#STATUS#seqid=" + seqid + macItem + "#ip=" + from +
                            "#utcclock=20261208120000#displaytime=",
                        from);
        };
        status("#mac=02:00:00:4B:10:01", "192.0.2.10");
        status("", "192.0.2.11");                        // no MAC at all
        status("#mac=02:00:00:4B:10", "192.0.2.12");     // five octets
        status("#mac=02:00:00:4B:10:0G", "192.0.2.13");  // not hex
        status("#mac=", "192.0.2.14");                   // could not read its own: listed
        status("#mac=02:00:00:4B:10:01", "192.0.2.10");  // a second answer is no conflict
    });
    Client client(endpoint, clock, test::countingRandom(), Timing{3000ms, 2});
    const Discovery found = client.discover();
    ASSERT_EQ(found.controllers.size(), 2u);
    EXPECT_EQ(found.controllers[0].mac, "02:00:00:4B:10:01");
    EXPECT_EQ(found.controllers[1].mac, "");
    EXPECT_EQ(found.controllers[1].from, "192.0.2.14");
    EXPECT_EQ(found.setApart, 3u);
    EXPECT_TRUE(found.conflictedMacs.empty());
}

TEST(Client, RequestsSideBySideEachEndWithTheirOwnReplyRetriesAndWindow) {
    Lan lan;
    FakeController quick;
    quick.mac = "02:00:00:00:00:0A";
    FakeController slow = quick;
    slow.mac = "02:00:00:00:00:0B";
    slow.delay = 1200ms;
    FakeController silent = quick;
    silent.mac = "02:00:00:00:00:0C";
    silent.silent = true;
    for (const FakeController& controller : {quick, slow, silent}) {
        lan.fleet.add(controller);
    }
    // Another controller's STATUS carrying the quick one's seqid is not its answer.
    FakeEndpoint endpoint(lan.clock, [&](const std::string& request, FakeEndpoint& wire) {
        if (request.find("#QUERY#") != std::string::npos && itemOf(request, "mac") == quick.mac) {
            wire.deliver(test::statusText(itemOf(request, "seqid"), "02:00:00:00:00:99",
                                          {{"hostname", "impostor"}}),
                         "192.0.2.66", 5ms);
        }
        lan.fleet.responder()(request, wire);
    });
    // Seqids that fall: the order they sort in is not the order the requests were begun in.
    Client client(
        endpoint, lan.clock, [next = std::uint64_t{0xFFFF}]() mutable { return next--; },
        Timing{3000ms, 2});

    const auto assignment = parseAssignmentArguments({"ntpip=192.0.2.124"}).value();
    const std::uint64_t query = client.beginQuery(quick.mac);
    const std::uint64_t assign = client.beginAssign(slow.mac, assignment);
    const std::uint64_t lost = client.beginQuery(silent.mac);
    std::map<std::uint64_t, std::pair<Answer, std::chrono::milliseconds>> ended;
    for (int turn = 0; turn < 10 && client.inFlight() > 0; ++turn) {
        for (Answer& answer : client.awaitAnswers(std::chrono::steady_clock::time_point::max())) {
            ended.emplace(answer.ticket, std::pair{std::move(answer), lan.clock.elapsed()});
        }
    }
    ASSERT_EQ(ended.size(), 3u);
    EXPECT_EQ(ended[query].first.delivery, Delivery::Answered);
    EXPECT_EQ(ended[query].first.record->value("hostname"), "ctl");
    EXPECT_EQ(ended[query].second, 40ms);
    EXPECT_TRUE(ended[assign].first.ack.accepted);
    EXPECT_EQ(ended[assign].second, 1200ms);
    EXPECT_EQ(ended[lost].first.delivery, Delivery::Silent);
    EXPECT_EQ(ended[lost].second, 3000ms);
    // Only the silent one was sent again, at its own times; the first sends left in the order
    // the requests were begun.
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(itemOf(endpoint.sent()[i].bytes, "mac"),
                  (std::vector<std::string>{quick.mac, slow.mac, silent.mac})[i]);
    }
    std::map<std::string, std::vector<std::chrono::milliseconds>> sends;
    for (const auto& sent : endpoint.sent()) {
        sends[itemOf(sent.bytes, "mac")].push_back(sent.at);
    }
    EXPECT_EQ(sends[quick.mac], (std::vector<std::chrono::milliseconds>{0ms}));
    EXPECT_EQ(sends[slow.mac], (std::vector<std::chrono::milliseconds>{0ms}));
    EXPECT_EQ(sends[silent.mac], (std::vector<std::chrono::milliseconds>{0ms, 1500ms, 2250ms}));
}

TEST(Client, MonitorHandsOnEveryDatagramUpToItsCount) {
    FakeClock clock;
    FakeEndpoint endpoint(clock);
    for (const char* bytes : {"KRV2#QUERY#seqid=1", "noise", "KRV2#ACK#seqid=1", "late"}) {
        endpoint.deliver(bytes, "192.0.2.20");
    }
    Client client(endpoint, clock, test::countingRandom(), Timing{});
    std::vector<std::string> seen;
    client.monitor([&](const MonitoredDatagram& d) { seen.push_back(d.datagram.bytes); }, 3,
                   std::nullopt);
    EXPECT_EQ(seen, (std::vector<std::string>{"KRV2#QUERY#seqid=1", "noise", "KRV2#ACK#seqid=1"}));
}

}  // namespace
}  // namespace krvctl

namespace krvctl {
namespace {

// A laptop with two cabled segments and WiFi, each controller on one of them.
struct Laptop : Lan {
    Laptop() {
        endpoint.setInterfaces({"eth1", "eth2", "wlan0"});
        fleet.add(test::controllerOn("eth1", "02:00:00:4B:10:01", "192.0.2.10"));
        fleet.add(test::controllerOn("eth2", "02:00:00:4B:10:02", "198.51.100.10"));
    }
    std::vector<std::string> sentInterfaces() const {
        std::vector<std::string> interfaces;
        for (const auto& sent : endpoint.sent()) {
            interfaces.push_back(sent.interface);
        }
        return interfaces;
    }
};

TEST(ClientOnSeveralInterfaces, RepliesAreTaggedAndAddressedRequestsLeaveWhereTheMacAnswered) {
    Laptop lan;
    // Never heard yet: everywhere.
    ASSERT_EQ(lan.client.query("02:00:00:4B:10:02").delivery, Delivery::Answered);
    EXPECT_EQ(lan.sentInterfaces(), std::vector<std::string>{""});

    const Discovery found = lan.client.discover();
    EXPECT_EQ(found.searched, (std::vector<std::string>{"eth1", "eth2", "wlan0"}));
    ASSERT_EQ(found.controllers.size(), 2u);
    EXPECT_EQ(found.controllers[0].interface, "eth1");
    EXPECT_EQ(found.controllers[1].interface, "eth2");
    EXPECT_TRUE(found.conflicts.empty());

    struct Case {
        const char* what;
        std::function<void(Client&)> send;
        std::vector<std::string> leftBy;  // each datagram sent, in order; empty: everywhere
    };
    const std::vector<Case> cases = {
        {"query", [](Client& c) { c.query("02:00:00:4B:10:02"); }, {"eth2"}},
        {"assign", [](Client& c) { c.assign("02:00:00:4B:10:01", {}); }, {"eth1"}},
        {"clear", [](Client& c) { c.clear("02:00:00:4B:10:02", "ntpip"); }, {"eth2"}},
        {"side by side",
         [](Client& c) {
             c.beginAssign("02:00:00:4B:10:01", {});
             c.beginClear("02:00:00:4B:10:02", "ntpip");
             for (int turn = 0; turn < 10 && c.inFlight() > 0; ++turn) {
                 c.awaitAnswers(c.clock().now() + 10s);
             }
         },
         {"eth1", "eth2"}},
        {"a MAC never heard", [](Client& c) { c.query("02:00:00:4B:10:99"); }, {"", "", ""}},
    };
    for (const Case& c : cases) {
        const std::size_t before = lan.endpoint.sent().size();
        c.send(lan.client);
        const auto sent = lan.sentInterfaces();
        EXPECT_EQ(std::vector<std::string>(sent.begin() + static_cast<std::ptrdiff_t>(before),
                                           sent.end()),
                  c.leftBy)
            << c.what;
    }
}

TEST(ClientOnSeveralInterfaces, AnInterfaceThatIsNoLongerSearchedIsNotAddressedAlone) {
    Laptop lan;
    lan.client.discover();
    ASSERT_EQ(lan.client.interfaceFor("02:00:00:4B:10:02"), "eth2");
    lan.endpoint.setInterfaces({"eth1", "wlan0"});  // the cable came out
    EXPECT_EQ(lan.client.interfaceFor("02:00:00:4B:10:02"), "");
    lan.client.query("02:00:00:4B:10:02");
    EXPECT_EQ(lan.endpoint.sent().back().interface, "");
}

TEST(ClientOnSeveralInterfaces, OneMacOnTwoInterfacesIsAConflictEvenAtTheSameAddress) {
    struct Case {
        std::string secondFrom;
        std::string secondInterface;
        std::string conflict;  // empty: none
    };
    const std::vector<Case> cases = {
        // Two controllers left at the same factory address on two segments.
        {"192.0.2.10", "eth2",
         "MAC 02:00:00:4B:10:01 answered from 192.0.2.10 on eth1, 192.0.2.10 on eth2"},
        {"192.0.2.77", "eth1", "MAC 02:00:00:4B:10:01 answered from 192.0.2.10, 192.0.2.77"},
        {"192.0.2.10", "eth1", ""},  // the same controller heard twice
    };
    for (const Case& c : cases) {
        Lan lan;
        lan.endpoint.setInterfaces({"eth1", "eth2"});
        lan.fleet.add(test::controllerOn("eth1", "02:00:00:4B:10:01", "192.0.2.10"));
        lan.fleet.add(test::controllerOn(c.secondInterface, "02:00:00:4B:10:01", c.secondFrom));
        const Discovery found = lan.client.discover();
        ASSERT_EQ(found.controllers.size(), 1u);
        if (c.conflict.empty()) {
            EXPECT_TRUE(found.conflicts.empty()) << c.secondInterface;
            continue;
        }
        EXPECT_EQ(found.conflicts, std::vector<std::string>{c.conflict});
        EXPECT_EQ(found.conflictedMacs, std::vector<std::string>{"02:00:00:4B:10:01"});
        EXPECT_EQ(found.conflictedInterfaces.at(0).size(), c.secondInterface == "eth1" ? 0u : 2u);
    }
}

}  // namespace
}  // namespace krvctl
