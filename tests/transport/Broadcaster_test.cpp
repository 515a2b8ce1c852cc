// The Broadcaster's rules over a recording fake of the socket calls: which way a reply goes,
// the oversize guard, every failure message, descriptors (0 is valid, close-on-exec, closed
// on every path), the receive cut. Real sockets: netns/ and tests/core/e2e.
#include "krvd/transport/Broadcaster.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <map>
#include <vector>

#include "krvd/transport/RawFrame.h"
#include "tests/support/RecordingSockets.h"

namespace krvd {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

using krvtest::RecordingSockets;

const std::vector<std::string> kUdpSetup = {"socket udp", "setsockopt udp SO_BROADCAST",
                                            "setsockopt udp SO_REUSEADDR", "bind udp"};
const std::vector<std::string> kRawSend = {"socket raw",
                                           "setsockopt raw SO_BROADCAST",
                                           "setsockopt raw IP_HDRINCL",
                                           "setsockopt raw SO_BINDTODEVICE",
                                           "sendto raw",
                                           "close raw"};

std::vector<std::string> afterSetup(const RecordingSockets& sockets) {
    return {sockets.log.begin() + static_cast<long>(kUdpSetup.size()), sockets.log.end()};
}

TEST(BroadcasterSetup, UdpSocketOnDescriptorZeroIsKeptAndClosedAtTheEnd) {
    RecordingSockets sockets;
    {
        Broadcaster broadcaster(nullptr, 7217, "br0", sockets);
        EXPECT_EQ(broadcaster.socketFd(), 0);
        EXPECT_EQ(sockets.log, kUdpSetup);
        EXPECT_EQ(sockets.socketTypes.at(0), SOCK_DGRAM | SOCK_CLOEXEC);
        broadcaster.send("x");
        EXPECT_EQ(sockets.log.back(), "sendto udp");
    }
    EXPECT_EQ(sockets.log.back(), "close udp");
}

TEST(BroadcasterSetupDeathTest, EachFailureIsReportedWithErrnoAndEndsTheProcess) {
    const std::map<std::string, std::string> cases = {
        {"socket udp", "Error creating socket: 24\n"},
        {"setsockopt udp SO_BROADCAST", "Error setting socket options: 24\n"},
        {"setsockopt udp SO_REUSEADDR", "Error setting socket options: 24\n"},
        {"bind udp", "Error binding socket: 24\n"},
    };
    for (const auto& [failing, message] : cases) {
        SCOPED_TRACE(failing);
        RecordingSockets sockets;
        sockets.failures[failing] = EMFILE;
        EXPECT_EXIT(Broadcaster(nullptr, 7217, "br0", sockets), ::testing::ExitedWithCode(1),
                    "^" + message + "$");
    }
}

TEST(BroadcasterSend, BridgeRepliesGoOnceThroughTheUdpSocketToTheBroadcastAddress) {
    RecordingSockets sockets;
    Broadcaster broadcaster(nullptr, 7217, "br0", sockets);
    const std::string reply("KRV2#STATUS#seqid=\0x\n", 20);
    ::testing::internal::CaptureStderr();
    broadcaster.send(reply);
    EXPECT_THAT(::testing::internal::GetCapturedStderr(), IsEmpty());
    EXPECT_THAT(afterSetup(sockets), ElementsAre("sendto udp"));
    EXPECT_EQ(sockets.lastSent, reply);
    EXPECT_EQ(sockets.lastDestination.sin_family, AF_INET);
    EXPECT_EQ(ntohs(sockets.lastDestination.sin_port), 7217);
    EXPECT_EQ(sockets.lastDestination.sin_addr.s_addr, htonl(INADDR_BROADCAST));
}

TEST(BroadcasterSend, EveryOtherInterfaceNameTakesTheRawPath) {
    for (const std::string name : {"eth0", "BR0", "br0x", "br", "lo"}) {
        SCOPED_TRACE(name);
        RecordingSockets sockets;
        Broadcaster broadcaster(nullptr, 7217, name, sockets);
        const std::string reply("KRV2#ACK#seqid=\0\n", 17);
        broadcaster.send(reply);
        EXPECT_EQ(afterSetup(sockets), kRawSend);
        EXPECT_EQ(sockets.socketTypes.at(1), SOCK_RAW | SOCK_CLOEXEC);
        EXPECT_EQ(sockets.deviceOption, name + '\0');
        // The whole reply, NUL byte included, behind the 28 header bytes.
        EXPECT_EQ(sockets.lastSent, buildRawFrame(reply));
        EXPECT_EQ(ntohs(sockets.lastDestination.sin_port), 7217);
        EXPECT_EQ(sockets.lastDestination.sin_addr.s_addr, htonl(INADDR_BROADCAST));
    }
}

TEST(BroadcasterSend, FailedBridgeSendIsReportedAndRetriedRaw) {
    RecordingSockets sockets;
    sockets.failures["sendto udp"] = ENETUNREACH;
    Broadcaster broadcaster(nullptr, 7217, "br0", sockets);
    ::testing::internal::CaptureStderr();
    broadcaster.send("hello");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Broadcast failed: 101\nTrying to send as raw package\n");
    std::vector<std::string> expected = {"sendto udp"};
    expected.insert(expected.end(), kRawSend.begin(), kRawSend.end());
    EXPECT_EQ(afterSetup(sockets), expected);
    EXPECT_EQ(sockets.deviceOption, std::string("br0", 4));
    EXPECT_EQ(sockets.lastSent, buildRawFrame("hello"));
}

TEST(BroadcasterSend, RawPathGuardsTheLengthOfTheWholeText) {
    struct Case {
        std::string text;
        std::string errors;
        bool sent;
    };
    std::string withNul(1472, 'y');
    withNul[3] = '\0';  // counted by its length, not cut at the NUL
    const std::vector<Case> cases = {
        {std::string(1471, 'y'), "", true},
        {std::string(1472, 'y'), "Discarding oversize message: 1472\n", false},
        {withNul, "Discarding oversize message: 1472\n", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.size());
        RecordingSockets sockets;
        Broadcaster broadcaster(nullptr, 7217, "eth0", sockets);
        ::testing::internal::CaptureStderr();
        broadcaster.send(c.text);
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.errors);
        EXPECT_EQ(afterSetup(sockets).size(), c.sent ? kRawSend.size() : 0u);
    }
}

TEST(BroadcasterSend, EachRawFailureIsReportedAndTheRawSocketClosed) {
    const std::map<std::string, std::string> cases = {
        {"socket raw", "Failed to create raw socket: 1\n"},
        {"setsockopt raw SO_BROADCAST", "Error setting socket broadcast option: 1\n"},
        {"setsockopt raw IP_HDRINCL", "Error setting socket hdrincl option: 1\n"},
        {"setsockopt raw SO_BINDTODEVICE", "Error binding to eth0 interface: 1\n"},
        {"sendto raw", "Failed to send raw data: 1\n"},
    };
    for (const auto& [failing, message] : cases) {
        SCOPED_TRACE(failing);
        RecordingSockets sockets;
        sockets.failures[failing] = EPERM;
        Broadcaster broadcaster(nullptr, 7217, "eth0", sockets);
        ::testing::internal::CaptureStderr();
        broadcaster.send("x");
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), message);
        const std::vector<std::string> calls = afterSetup(sockets);
        EXPECT_EQ(calls.back(), failing == "socket raw" ? failing : "close raw");
        EXPECT_EQ(std::count(calls.begin(), calls.end(), "sendto raw"),
                  failing == "sendto raw" ? 1 : 0);
    }
}

class RecordingCallback : public IBroadcasterCallback {
  public:
    void onMessage(const char* data, std::int64_t count, std::uint32_t sender) override {
        messages.emplace_back(std::string(data, static_cast<std::size_t>(count)), sender);
    }
    std::vector<std::pair<std::string, std::uint32_t>> messages;
};

TEST(BroadcasterReceive, HandsOnBytesCutTo512WithTheRawSenderAddressAndIgnoresFailures) {
    RecordingSockets sockets;
    RecordingCallback callback;
    Broadcaster broadcaster(&callback, 7217, "br0", sockets);
    sockets.senderAddress = htonl(0xC0000205);
    const std::string query("KRV2#\0\xFF", 7);
    sockets.datagrams = {std::nullopt, std::string(), query, std::string(600, 'L')};
    EXPECT_EQ(broadcaster.receiveQueued(), 0u);  // the failed receive
    EXPECT_EQ(broadcaster.receiveQueued(), 2u);  // the empty datagram is skipped
    EXPECT_EQ(broadcaster.receiveQueued(), 0u);
    EXPECT_THAT(callback.messages,
                ElementsAre(std::make_pair(query, htonl(0xC0000205)),
                            std::make_pair(std::string(512, 'L'), htonl(0xC0000205))));
}

}  // namespace
}  // namespace krvd
