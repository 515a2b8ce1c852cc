// The tool's real socket as the kernel holds it: shared with a daemon on the same port,
// limited to one interface, refused when the port is held unshared, and counting what the
// kernel drops. Each test runs in a network namespace of its own with a veth pair;
// without the privilege to create one, it skips.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <set>

#include "krvctl/lan/Client.h"
#include "krvctl/lan/SystemClock.h"
#include "krvctl/platform/LanSocket.h"
#include "krvctl/values/ExitStatus.h"
#include "protocol/Wire.h"

namespace krvctl {
namespace {

using namespace std::chrono_literals;

// Empty when this process now sits in a fresh network namespace with the interface d0 at
// 192.0.2.1/24 (one end of a veth pair whose other end stays unaddressed); otherwise why not.
std::string enterPrivateNetwork(bool withRoute = true) {
    if (::unshare(CLONE_NEWNET) != 0 && ::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
        return std::string("cannot create a network namespace: ") + std::strerror(errno);
    }
    std::string setup =
        "ip link set lo up && ip link add d0 type veth peer name d1 && "
        "ip addr add 192.0.2.1/24 dev d0 && ip link set d1 up && ip link set d0 up";
    if (withRoute) {
        setup += " && ip route add default dev d0";
    }
    if (std::system((setup + " 2>/dev/null").c_str()) != 0) {
        return "cannot set up a veth pair in the namespace";
    }
    return "";
}

// A socket as the daemon opens it: shared, bound to the port on every address.
int daemonLikeSocket(bool shared) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    if (shared) {
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(krv::wire::kPort);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

std::string receiveOn(int fd) {
    timeval wait{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char buffer[512];
    const ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
    return count < 0 ? "" : std::string(buffer, static_cast<std::size_t>(count));
}

#define ENTER_OR_SKIP(...)                                                        \
    if (const std::string why = enterPrivateNetwork(__VA_ARGS__); !why.empty()) { \
        GTEST_SKIP() << why;                                                      \
    }

TEST(UdpEndpoint, SharesThePortWithADaemonAndHearsBroadcasts) {
    ENTER_OR_SKIP();
    const int daemon = daemonLikeSocket(true);
    ASSERT_GE(daemon, 0);
    OpenedEndpoint opened = openLanEndpoint({});
    ASSERT_TRUE(opened.endpoint) << opened.problem;
    std::string problem;
    ASSERT_TRUE(opened.endpoint->broadcast("KRV2#QUERY#seqid=1", problem)) << problem;
    // The broadcast loops back to every socket on the port, the tool's own included.
    EXPECT_EQ(receiveOn(daemon), "KRV2#QUERY#seqid=1");
    const auto heard = opened.endpoint->receive(std::chrono::steady_clock::now() + 2s);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->bytes, "KRV2#QUERY#seqid=1");
    EXPECT_EQ(heard->from, "192.0.2.1");
    EXPECT_FALSE(opened.endpoint->receive(std::chrono::steady_clock::now() + 100ms));
    ::close(daemon);
}

TEST(UdpEndpoint, WorksOnOneNamedInterfaceAndRefusesUnknownOnes) {
    ENTER_OR_SKIP();
    OpenedEndpoint bound = openLanEndpoint({"d0"});
    ASSERT_TRUE(bound.endpoint) << bound.problem;
    std::string problem;
    ASSERT_TRUE(bound.endpoint->broadcast("KRV2#QUERY#seqid=2", problem)) << problem;
    const auto heard = bound.endpoint->receive(std::chrono::steady_clock::now() + 2s);
    ASSERT_TRUE(heard);
    EXPECT_EQ(heard->bytes, "KRV2#QUERY#seqid=2");

    const OpenedEndpoint unknown = openLanEndpoint({"d0", "nosuch0"});
    EXPECT_FALSE(unknown.endpoint);
    EXPECT_EQ(unknown.failure, kUsage);
    EXPECT_TRUE(unknown.problem.starts_with(
        "--interface: no network interface named 'nosuch0' (there are: "))
        << unknown.problem;
    EXPECT_NE(unknown.problem.find("d0"), std::string::npos) << unknown.problem;
}

TEST(UdpEndpoint, APortHeldWithoutSharingIsNamedAsTheReason) {
    ENTER_OR_SKIP();
    const int holder = daemonLikeSocket(false);
    ASSERT_GE(holder, 0);
    const OpenedEndpoint opened = openLanEndpoint({});
    EXPECT_FALSE(opened.endpoint);
    EXPECT_EQ(opened.failure, kUnavailable);
    EXPECT_NE(opened.problem.find("UDP port 7217 is held by a program that does not share it"),
              std::string::npos)
        << opened.problem;
    ::close(holder);
}

TEST(UdpEndpoint, ABroadcastLeavesWithoutADefaultRouteAndWithoutAnInterfaceSaysWhatToDo) {
    ENTER_OR_SKIP(false);
    OpenedEndpoint opened = openLanEndpoint({});
    ASSERT_TRUE(opened.endpoint) << opened.problem;
    std::string problem;
    // A cable to a controller switch has no default route; the broadcast leaves by it anyway.
    EXPECT_TRUE(opened.endpoint->broadcast("KRV2#QUERY#seqid=3", problem)) << problem;

    // The cable comes out: the send fails and names it, and the next one finds nothing left.
    ASSERT_EQ(std::system("ip link set d0 down"), 0);
    EXPECT_FALSE(opened.endpoint->broadcast("KRV2#QUERY#seqid=4", problem));
    EXPECT_TRUE(problem.starts_with("d0: ")) << problem;
    EXPECT_FALSE(opened.endpoint->broadcast("KRV2#QUERY#seqid=4", problem));
    EXPECT_NE(problem.find("--interface picks one"), std::string::npos) << problem;
    EXPECT_TRUE(opened.endpoint->interfaces().empty());
}

// Every datagram that arrived within a moment, by the interface it was tagged with.
std::multiset<std::string> arrivalInterfaces(Endpoint& endpoint) {
    std::multiset<std::string> tags;
    const auto until = std::chrono::steady_clock::now() + 300ms;
    for (int i = 0; i < 100; ++i) {
        const auto heard = endpoint.receive(until);
        if (!heard) {
            break;
        }
        tags.insert(heard->interface);
    }
    return tags;
}

TEST(UdpEndpoint, EachSearchedInterfaceGetsTheBroadcastAndArrivalsAreTaggedOrDropped) {
    ENTER_OR_SKIP(false);
    // A second segment beside d0.
    ASSERT_EQ(std::system("ip link add e0 type veth peer name e1 && ip addr add 198.51.100.1/24 "
                          "dev e0 && ip link set e1 up && ip link set e0 up"),
              0);
    struct Case {
        std::vector<std::string> named;
        std::vector<std::string> searched;
        // Each searched interface hears the copy that loops back to this machine (the copy on
        // the wire reaches an unaddressed peer, which takes no broadcast); what is not searched
        // is dropped.
        std::multiset<std::string> tags;
    };
    const std::vector<Case> cases = {
        {{}, {"d0", "e0"}, {"d0", "e0"}},
        {{"e0"}, {"e0"}, {"e0"}},
        {{"e0", "d0", "e0"}, {"e0", "d0"}, {"d0", "e0"}},
    };
    for (const Case& c : cases) {
        OpenedEndpoint opened = openLanEndpoint(c.named);
        ASSERT_TRUE(opened.endpoint) << opened.problem;
        EXPECT_EQ(opened.endpoint->interfaces(), c.searched);
        std::string problem;
        ASSERT_TRUE(opened.endpoint->broadcast("KRV2#QUERY#seqid=5", problem)) << problem;
        EXPECT_EQ(arrivalInterfaces(*opened.endpoint), c.tags) << c.searched.size();
    }
    // Addressed to one interface, it leaves by that one only; a socket limited to another
    // interface hears nothing of it.
    OpenedEndpoint all = openLanEndpoint({});
    OpenedEndpoint limited = openLanEndpoint({"e0"});
    ASSERT_TRUE(all.endpoint && limited.endpoint);
    std::string problem;
    ASSERT_TRUE(all.endpoint->broadcast("KRV2#ASSIGN#seqid=6", problem, "d0")) << problem;
    EXPECT_EQ(arrivalInterfaces(*all.endpoint), (std::multiset<std::string>{"d0"}));
    EXPECT_EQ(arrivalInterfaces(*limited.endpoint), (std::multiset<std::string>{}));
}

TEST(UdpEndpoint, DatagramsTheKernelDropsAreCounted) {
    ENTER_OR_SKIP();
    OpenedEndpoint opened = openLanEndpoint({});
    ASSERT_TRUE(opened.endpoint) << opened.problem;
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(krv::wire::kPort);
    to.sin_addr.s_addr = htonl(0xC0000201);  // 192.0.2.1
    const std::string payload(200, 'x');
    // Far more than even the largest buffer holds, sent without reading any.
    for (int i = 0; i < 200000; ++i) {
        ::sendto(sender, payload.data(), payload.size(), MSG_DONTWAIT,
                 reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    ::close(sender);
    EXPECT_GT(opened.endpoint->dropped(), 0u);
    EXPECT_TRUE(opened.endpoint->receive(std::chrono::steady_clock::now() + 1s));
}

TEST(UdpEndpoint, ADiscoveryOnFiveInterfacesTakesOneWindowAsOnOne) {
    ENTER_OR_SKIP(false);
    for (int i = 1; i <= 4; ++i) {
        const std::string n = std::to_string(i);
        ASSERT_EQ(std::system(("ip link add v" + n + " type veth peer name w" + n +
                               " && ip addr add 10.7." + n + ".1/24 dev v" + n +
                               " && ip link set w" + n + " up && ip link set v" + n + " up")
                                  .c_str()),
                  0);
    }
    SystemClock clock;
    const auto discoverOn = [&](const std::vector<std::string>& named) {
        OpenedEndpoint opened = openLanEndpoint(named);
        EXPECT_TRUE(opened.endpoint) << opened.problem;
        Client client(
            *opened.endpoint, clock, [] { return 7u; }, Timing{1000ms, 2});
        const auto start = std::chrono::steady_clock::now();
        const Discovery found = client.discover();
        EXPECT_EQ(found.searched.size(), named.empty() ? 5u : 1u);
        return std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
    };
    const auto one = discoverOn({"d0"});
    const auto five = discoverOn({});
    std::cout << "[ window   ] 1 interface " << one.count() << " ms, 5 interfaces " << five.count()
              << " ms (window 1000 ms)\n";
    EXPECT_LT(five, 1000ms + 250ms);
    EXPECT_LT(five - one, 100ms);
}

}  // namespace
}  // namespace krvctl
