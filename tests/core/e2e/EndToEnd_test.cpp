// The real krvd binary, end to end: started in a network namespace of its own on the simulated
// controller, with a configuration tool's socket and a packet capture in a second namespace.
// What the daemon ran is read from the simulated tools' record; what it said, from its
// standard output and error. The protocol's finer rules are covered in-process elsewhere.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>

#include "krvd/system/CommandRunner.h"
#include "tests/core/e2e/EndToEndFixture.h"
#include "tests/support/WireBytes.h"

namespace krvd::e2e {
namespace {

using namespace std::chrono_literals;
using krvtest::byteAt;
using krvtest::wordAt;

TEST_F(EndToEnd, QueryOnTheBridgeIsAnsweredThroughTheUdpSocket) {
    // Started with standard input closed: the UDP socket then is descriptor 0, and it must not
    // reach the commands the daemon runs.
    bringUp(NetworkLab::Side::Bridge, {.controllerType = "imx", .closeStandardInput = true});
    if (!ready()) {
        return;
    }
    const std::string proc = "/proc/" + std::to_string(daemon->pid());
    int sockets = 0;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        std::error_code error;
        if (!std::filesystem::read_symlink(entry.path(), error).string().starts_with("socket:")) {
            continue;
        }
        ++sockets;
        std::ifstream info(proc + "/fdinfo/" + entry.path().filename().string());
        std::string key;
        std::string flags;
        while (info >> key >> flags && key != "flags:") {
        }
        EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0U) << entry.path();
        EXPECT_EQ(entry.path().filename(), "0");
    }
    EXPECT_EQ(sockets, 1);

    const auto reply = ask("KRV2#QUERY#seqid=17", "KRV2#STATUS");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->senderAddress, kControllerAddress);
    EXPECT_EQ(reply->senderPort, 7217);
    const std::string& status = reply->text;
    EXPECT_TRUE(status.starts_with("KRV2#STATUS#seqid=17#mac=" + std::string(kDeviceMac) + "#ip="))
        << status;
    EXPECT_EQ(field(status, "ip"), kControllerAddress);
    EXPECT_EQ(field(status, "netmask"), "255.255.255.0");  // from the kernel, not the tool
    EXPECT_EQ(field(status, "gateway"), kGatewayAddress);
    EXPECT_EQ(field(status, "hostname"), "ctl-e2e");
    EXPECT_EQ(status.find('\n'), std::string::npos);

    ASSERT_TRUE(daemon->waitForOutput("[192.0.2.20] Message understood... \n\n", 5s));
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("KRVD using interface: br0\n"), std::string::npos);
    EXPECT_NE(out.find("Krevane 4.12 : Listening for broadcast packets\n"
                       "KRV2#QUERY#seqid=17\n"
                       "krvd:Detected controller type: 3\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(daemon->standardError(), "");
    EXPECT_NE(daemon->commandRecord().find("trelsetup getipaddr\n"), std::string::npos);
}

TEST_F(EndToEnd, QueryOnAPlainInterfaceLeavesAsAHandBuiltFrame) {
    bringUp(NetworkLab::Side::Plain);
    if (!ready()) {
        return;
    }
    // A NUL byte in the seqid comes back in the reply and must cross the wire whole.
    const std::string seqid("r\0w", 3);
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=" + seqid));
    const std::string prefix = "KRV2#STATUS#seqid=" + seqid + "#";
    const auto packet = peer->capture(prefix, 10s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(wordAt(*packet, 2), packet->size());          // total length
    EXPECT_EQ(wordAt(*packet, 4), 54321U);                  // identification
    EXPECT_EQ(wordAt(*packet, 6), 0x4000U);                 // don't fragment
    EXPECT_EQ(byteAt(*packet, 8), 64U);                     // TTL
    EXPECT_EQ(addressAt(*packet, 12), kControllerAddress);  // filled in by the kernel
    EXPECT_EQ(addressAt(*packet, 16), "255.255.255.255");
    EXPECT_EQ(wordAt(*packet, 20), 7217U);                // source port
    EXPECT_EQ(wordAt(*packet, 24), packet->size() - 20);  // UDP length
    EXPECT_EQ(wordAt(*packet, 26), 0U);                   // UDP checksum
    // The tool's ordinary socket receives the same reply.
    const auto reply = peer->receive(prefix, 5s);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->text, packet->substr(28));

    ASSERT_TRUE(daemon->waitForOutput("Message understood", 5s));
    EXPECT_NE(daemon->commandRecord().find("trelsetup getipaddr eth0\n"), std::string::npos);
    EXPECT_EQ(daemon->standardError(), "");
}

TEST_F(EndToEnd, AssignIsAcknowledgedAppliedAndFollowedByAPause) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const std::string assign = "KRV2#ASSIGN#seqid=40#mac=" + std::string(kDeviceMac) +
                               "#ntpip=192.0.2.77#utcclock=20261224183000";
    const auto start = std::chrono::steady_clock::now();
    const auto ack = ask(assign, "KRV2#ACK");
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->text, "KRV2#ACK#seqid=40#mac=" + std::string(kDeviceMac) + "#accept=yes");

    // The daemon takes the next datagram only after its pause.
    const auto status = ask("KRV2#QUERY#seqid=41", "KRV2#STATUS", 15s);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(status);
    EXPECT_GE(elapsed, 5s);
    EXPECT_EQ(field(status->text, "ntpip"), "192.0.2.77");

    const std::string record = daemon->commandRecord();
    EXPECT_NE(record.find("trelsetup settimeserver 192.0.2.77\n"), std::string::npos) << record;
    // The clock is set twice, and only on the simulated controller.
    const std::string clockSet = "date -u -s 202612241830.00\n";
    const auto first = record.find(clockSet);
    ASSERT_NE(first, std::string::npos) << record;
    EXPECT_NE(record.find(clockSet, first + 1), std::string::npos) << record;
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("krvd:trelsetup settimeserver 192.0.2.77\n"
                       "krvd:Finished writing ntp IP settings\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("Writing network settings"), std::string::npos);
}

TEST_F(EndToEnd, ClearRejectionsAndOtherControllersTraffic) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const std::string mac = kDeviceMac;
    auto ack = ask("KRV2#CLEAR#seqid=50#mac=" + mac + "#nameserver", "KRV2#ACK");
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->text.ends_with("#accept=yes"));
    EXPECT_NE(daemon->commandRecord().find("trelsetup setnameserver --delete\n"),
              std::string::npos);

    // Not for this controller, not this protocol version, not a datagram of the protocol, and
    // another controller's reply: none of them is answered.
    for (const std::string datagram :
         {"KRV2#QUERY#seqid=52#mac=02:00:00:00:00:99", "KRV3#QUERY#seqid=53", "A",
          "KRV2#STATUS#seqid=54#mac=02:00:00:00:00:99"}) {
        EXPECT_TRUE(peer->broadcast(datagram));
    }
    EXPECT_FALSE(peer->receive("KRV2#", 1500ms));

    const auto status = ask("KRV2#QUERY#seqid=55", "KRV2#STATUS");
    ASSERT_TRUE(status);
    EXPECT_EQ(field(status->text, "nameserver"), "<absent>");

    ASSERT_TRUE(
        daemon->waitForOutput("[192.0.2.20] Message understood... \n\n"
                              "KRV2#QUERY#seqid=55",
                              5s));
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("A\n[192.0.2.20] Message not understood... \n\n"), std::string::npos);
    EXPECT_NE(out.find("KRV3#QUERY#seqid=53\n[192.0.2.20] Message not understood... \n\n"),
              std::string::npos);
    EXPECT_NE(out.find("KRV2#STATUS#seqid=54#mac=02:00:00:00:00:99\n"
                       "[192.0.2.20] Message understood... \n\n"),
              std::string::npos);
}

TEST(KrvdCommandLine, ProgramHandsItsArgumentsOn) {
    // The command line's rules are tested in-process; no controller is needed for this.
    EXPECT_EQ(runCommand(KRV_BINARY_DIR "/krvd/krvd --version 2>&1", false), "Version: 4.12\n");
}

}  // namespace
}  // namespace krvd::e2e
