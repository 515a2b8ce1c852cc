// The search of several interfaces at once over in-memory endpoints: each interface's own QUERY
// told from others', controllers kept per interface and bounded, re-sends only into silence,
// and the window kept.
#include "krvctl/diagnosis/InterfaceSearch.h"

#include <gtest/gtest.h>

#include <map>

#include "krvctl/values/ExitStatus.h"
#include "tests/krvctl/support/FakeController.h"
#include "tests/krvctl/support/FakeNetwork.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;
using test::FakeClock;
using test::FakeEndpoint;
using test::itemOf;
using test::statusText;

struct Lan {
    FakeClock clock;
    // What each interface does with a QUERY leaving it; none: the interface cannot be opened.
    std::map<std::string, FakeEndpoint::Responder> interfaces;
    std::map<std::string, std::vector<std::string>> sent;  // by interface

    std::vector<InterfaceSearch> search(const std::vector<std::string>& names, int retries = 2) {
        return searchInterfaces(
            names,
            [this](const std::string& name) {
                OpenedEndpoint result;
                const auto found = interfaces.find(name);
                if (found == interfaces.end()) {
                    result.failure = kUnavailable;
                    result.problem = "UDP port 7217 is held by a program that does not share it";
                    return result;
                }
                result.endpoint = std::make_unique<FakeEndpoint>(
                    clock, [this, name, respond = found->second](const std::string& request,
                                                                 FakeEndpoint& wire) {
                        sent[name].push_back(request);
                        respond(request, wire);
                    });
                return result;
            },
            clock, test::countingRandom(), Timing{3000ms, retries});
    }
};

// The system handing the broadcast back to the sender, as it does when no firewall drops it.
void loopBack(const std::string& request, FakeEndpoint& lan) {
    lan.deliver(request, "192.168.1.10", 0ms);
}

TEST(InterfaceSearch, EachInterfaceHearsOnlyItsOwnQueryAndItsOwnControllers) {
    Lan lan;
    lan.interfaces["eth1"] = [](const std::string& request, FakeEndpoint& wire) {
        loopBack(request, wire);
        const std::string seqid = itemOf(request, "seqid");
        wire.deliver(statusText(seqid, "02:00:00:4B:10:02", {{"ip", "192.168.1.22"}}),
                     "192.168.1.22", 400ms);
        wire.deliver(statusText(seqid, "02:00:00:4B:10:01", {{"ip", "192.168.1.21"}}),
                     "192.168.1.21", 300ms);
        // Another tool's discovery and the answer to it: neither counts here.
        wire.deliver("KRV2#QUERY#seqid=00000000000000ff", "192.168.1.99", 5ms);
        wire.deliver(statusText("00000000000000ff", "02:00:00:4B:10:09", {}), "192.168.1.29", 50ms);
    };
    // A firewall drops everything coming in on wlan0, the tool's own QUERY included.
    lan.interfaces["wlan0"] = [](const std::string&, FakeEndpoint&) {};
    // A third one shows another tool's QUERY only: not the tool's own.
    lan.interfaces["eth2"] = [](const std::string&, FakeEndpoint& wire) {
        wire.deliver("KRV2#QUERY#seqid=00000000000000ff", "192.168.3.99", 5ms);
    };
    const auto searches = lan.search({"eth1", "wlan0", "eth2"});

    ASSERT_EQ(searches.size(), 3u);
    EXPECT_EQ(searches[0].interface, "eth1");
    EXPECT_TRUE(searches[0].ownQueryCameBack);
    ASSERT_EQ(searches[0].controllers.size(), 2u);
    EXPECT_EQ(searches[0].controllers[0].mac, "02:00:00:4B:10:01");
    EXPECT_EQ(searches[0].controllers[1].from, "192.168.1.22");
    EXPECT_EQ(searches[0].queriesSent, 1);  // answered: no re-send
    EXPECT_FALSE(searches[1].ownQueryCameBack);
    EXPECT_TRUE(searches[1].controllers.empty());
    EXPECT_EQ(searches[1].queriesSent, 3);  // silence is retried
    EXPECT_FALSE(searches[2].ownQueryCameBack);
    // Each interface asks with a seqid of its own.
    EXPECT_NE(itemOf(lan.sent["eth1"].at(0), "seqid"), itemOf(lan.sent["wlan0"].at(0), "seqid"));
    // The whole window, as discover listens, and not beyond it.
    EXPECT_EQ(lan.clock.elapsed(), 3000ms);
}

TEST(InterfaceSearch, AnInterfaceThatCannotBeOpenedLeavesTheOthersSearched) {
    Lan lan;
    lan.interfaces["eth0"] = loopBack;
    // eth3 cannot be opened: the port is held.
    const auto searches = lan.search({"eth0", "eth3"}, 0);
    ASSERT_EQ(searches.size(), 2u);
    EXPECT_TRUE(searches[0].ownQueryCameBack);
    EXPECT_EQ(searches[0].queriesSent, 1);
    EXPECT_EQ(searches[1].interface, "eth3");
    EXPECT_EQ(searches[1].openFailure, kUnavailable);
    EXPECT_NE(searches[1].openProblem.find("does not share it"), std::string::npos);
    EXPECT_EQ(searches[1].queriesSent, 0);
}

TEST(InterfaceSearch, AFloodOfControllersIsBoundedAndCounted) {
    Lan lan;
    lan.interfaces["eth0"] = [](const std::string& request, FakeEndpoint& wire) {
        const std::string seqid = itemOf(request, "seqid");
        for (std::size_t i = 0; i < kMostControllersPerInterface + 6; ++i) {
            char mac[18];
            std::snprintf(mac, sizeof mac, "02:00:00:00:%02X:%02X", static_cast<unsigned>(i >> 8),
                          static_cast<unsigned>(i & 0xff));
            wire.deliver(statusText(seqid, mac, {}), "10.0.0.1", 20ms);
        }
        wire.deliver("KRV2#STATUS#seqid=" + seqid + "#mac=nonsense", "10.0.0.2", 30ms);
    };
    const auto searches = lan.search({"eth0"});
    EXPECT_EQ(searches[0].controllers.size(), kMostControllersPerInterface);
    EXPECT_EQ(searches[0].notKept, 6u);
    EXPECT_EQ(searches[0].setApart, 1u);
}

TEST(InterfaceSearch, AQueryThatCannotLeaveIsReportedWithoutWaiting) {
    Lan lan;
    lan.interfaces["eth0"] = [](const std::string&, FakeEndpoint&) {};
    FakeClock& clock = lan.clock;
    const auto searches = searchInterfaces(
        {"eth0"},
        [&](const std::string&) {
            auto endpoint = std::make_unique<FakeEndpoint>(clock);
            endpoint->failBroadcasts("Network is down");
            return OpenedEndpoint{std::move(endpoint), 0, ""};
        },
        clock, test::countingRandom(), Timing{3000ms, 2});
    EXPECT_EQ(searches[0].sendProblem, "Network is down");
    EXPECT_EQ(searches[0].queriesSent, 0);
    EXPECT_LT(clock.elapsed(), 3000ms);
}

}  // namespace
}  // namespace krvctl
