// krvctl on a LAN of many controllers: two dozen real daemons, each on its own simulated
// controller with its own MAC (half of them answering through raw frames), and a responder
// that answers one QUERY with a thousand STATUS replies at once. The collection time of the
// storm is reported, not asserted.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <set>
#include <thread>

#include "krvctl/lan/DatagramDecoder.h"
#include "protocol/MessageText.h"
#include "protocol/Wire.h"
#include "tests/core/e2e/NetworkLab.h"
#include "tests/krvctl/e2e/Lan.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::Daemon;
using Json = nlohmann::json;
namespace wire = krv::wire;

constexpr int kFleetSize = 24;
constexpr int kStormSize = 1000;

std::string fleetMac(int index) {
    char mac[18];
    std::snprintf(mac, sizeof mac, "02:00:00:4B:20:%02X", index);
    return mac;
}

TEST(Fleet, EveryControllerIsListedOnceAndAnAssignChangesOnlyItsTarget) {
    Lan lan;
    if (!lan.failure().empty()) {
        GTEST_SKIP() << lan.failure();
    }
    std::vector<std::unique_ptr<Daemon>> daemons;
    for (int i = 0; i < kFleetSize; ++i) {
        const bool bridged = i % 2 == 0;  // the others reply with hand-built raw frames
        const auto host = lan.addHost("192.0.2." + std::to_string(10 + i), bridged);
        ASSERT_TRUE(host) << lan.failure();
        Daemon::Options options;
        options.hostname = "ctl-" + std::to_string(i);
        auto daemon = std::make_unique<Daemon>(*host, bridged ? "br0" : "eth0", options);
        daemon->configure({"set", "mac", fleetMac(i)});
        ASSERT_TRUE(daemon->launch()) << daemon->failure();
        daemons.push_back(std::move(daemon));
    }
    for (const auto& daemon : daemons) {
        ASSERT_TRUE(daemon->awaitListening()) << daemon->failure();
    }

    // Every controller reads its whole state for the query at the same moment.
    const ToolRun discover = runTool(lan.hubNamespace(), {"--json", "--timeout", "20", "discover"});
    ASSERT_EQ(discover.status, 0) << discover.err;
    std::cout << "[ fleet    ] " << discover.err;
    const Json list = Json::parse(discover.out);
    std::multiset<std::string> macs;
    for (const Json& controller : list) {
        macs.insert(controller["mac"].get<std::string>());
    }
    ASSERT_EQ(list.size(), static_cast<std::size_t>(kFleetSize));
    for (int i = 0; i < kFleetSize; ++i) {
        EXPECT_EQ(macs.count(fleetMac(i)), 1u) << fleetMac(i);
    }

    const int target = 7;
    const ToolRun assign = runTool(
        lan.hubNamespace(), {"--timeout", "30", "assign", fleetMac(target), "ntpip=192.0.2.77"});
    EXPECT_EQ(assign.status, 0) << assign.err << assign.out;
    for (int i = 0; i < kFleetSize; ++i) {
        const bool changed =
            daemons[i]->commandRecord().find("trelsetup settimeserver") != std::string::npos;
        EXPECT_EQ(changed, i == target) << "controller " << i;
    }
}

// Answers the first QUERY it hears with kStormSize STATUS replies of distinct MACs, sent
// back to back. Returns how many it sent.
int answerWithAStorm(int socketFd) {
    pollfd entry{socketFd, POLLIN, 0};
    // Bounded: the tool asks within seconds, and only the first QUERY is answered.
    for (int waited = 0; waited < 300 && ::poll(&entry, 1, 100) >= 0; ++waited) {
        char buffer[2048];
        const ssize_t count = ::recv(socketFd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count <= 0) {
            continue;
        }
        const DecodedDatagram request =
            decodeDatagram(std::string_view(buffer, static_cast<std::size_t>(count)));
        const std::string* seqid = request.find(wire::key::kSeqid);
        if (request.command != Command::Query || seqid == nullptr) {
            continue;
        }
        sockaddr_in everyone{};
        everyone.sin_family = AF_INET;
        everyone.sin_port = htons(wire::kPort);
        everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        int sent = 0;
        for (int i = 0; i < kStormSize; ++i) {
            char mac[18];
            std::snprintf(mac, sizeof mac, "02:00:00:AA:%02X:%02X", i / 256, i % 256);
            std::string reply = krv::messageStart(wire::kStatus);
            krv::appendItem(reply, wire::key::kSeqid, *seqid);
            krv::appendItem(reply, wire::key::kMac, mac);
            krv::appendItem(reply, wire::key::kIp,
                            "10.1." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1));
            krv::appendItem(reply, wire::key::kNetmask, "255.255.0.0");
            krv::appendItem(reply, wire::key::kHostname, "storm-" + std::to_string(i));
            krv::appendItem(reply, wire::key::kIpscheme, wire::kSchemeStatic);
            krv::appendItem(reply, wire::key::kNtpsync, "yes");
            krv::appendItem(reply, wire::key::kUtcclock, "20261208120000");
            krv::appendItem(reply, wire::key::kDisplaytime, "");
            if (::sendto(socketFd, reply.data(), reply.size(), 0,
                         reinterpret_cast<const sockaddr*>(&everyone), sizeof everyone) > 0) {
                ++sent;
            }
        }
        return sent;
    }
    return 0;
}

TEST(Fleet, AThousandRepliesInOneBurstAreAllListed) {
    Lan lan;
    if (!lan.failure().empty()) {
        GTEST_SKIP() << lan.failure();
    }
    const auto host = lan.addHost("192.0.2.5", false);
    ASSERT_TRUE(host) << lan.failure();
    int responder = -1;
    ASSERT_TRUE(krvd::e2e::runInNamespace(*host, [&] {
        responder = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        const int on = 1;
        ::setsockopt(responder, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        ::setsockopt(responder, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
        sockaddr_in port{};
        port.sin_family = AF_INET;
        port.sin_port = htons(wire::kPort);
        ::bind(responder, reinterpret_cast<const sockaddr*>(&port), sizeof port);
    }));
    ASSERT_GE(responder, 0);
    int sent = 0;
    std::thread storm([&] { sent = answerWithAStorm(responder); });
    const ToolRun discover = runTool(lan.hubNamespace(), {"--json", "--timeout", "5", "discover"});
    storm.join();
    ::close(responder);

    ASSERT_EQ(sent, kStormSize);
    ASSERT_EQ(discover.status, 0) << discover.err;
    std::cout << "[ storm    ] " << discover.err;
    const Json list = Json::parse(discover.out);
    std::set<std::string> macs;
    for (const Json& controller : list) {
        macs.insert(controller["mac"].get<std::string>());
    }
    EXPECT_EQ(list.size(), static_cast<std::size_t>(kStormSize));
    EXPECT_EQ(macs.size(), static_cast<std::size_t>(kStormSize));
    EXPECT_EQ(discover.err.find("dropped"), std::string::npos) << discover.err;
}

}  // namespace
}  // namespace krvctl::e2e
