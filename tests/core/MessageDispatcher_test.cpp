// The dispatcher in-process, over a scripted shell and fake socket calls: construction order,
// the echo and verdict lines, the header check, and that nothing of one datagram survives into
// the next. The real binary on a real network is tested in EndToEnd_test.cpp.

#include "krvd/core/MessageDispatcher.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;
using krvtest::FakeInterfaceLister;
using krvtest::FakeShell;
using krvtest::QuietSyslog;
using krvtest::TempDir;

// Succeeds at everything and remembers what was sent; shares a timeline with the shell.
class FakeSockets final : public SocketCalls {
  public:
    explicit FakeSockets(krvtest::EventLog& timeline) : timeline_(timeline) {}
    int socket(int, int, int) override {
        timeline_.add("socket");
        return 3;
    }
    int setsockopt(int, int, int, const void*, socklen_t) override { return 0; }
    int bind(int, const sockaddr_in&) override { return 0; }
    ssize_t recvfrom(int, char*, std::size_t, sockaddr_in&) override {
        errno = EAGAIN;
        return -1;
    }
    ssize_t sendto(int, const std::string& bytes, const sockaddr_in&) override {
        sent.push_back(bytes);
        return static_cast<ssize_t>(bytes.size());
    }
    void close(int) override {}
    std::vector<std::string> sent;

  private:
    krvtest::EventLog& timeline_;
};

constexpr const char* kSender = "192.0.2.20";

class DispatcherTest : public ::testing::Test {
  protected:
    DispatcherTest() {
        shell.answer("trelsetup getsdk", "imx\n");
        shell.answer("trelsetup getmacaddr", "00:11:22:aa:bb:cc\n");
        shell.answer("date -u +%Y%m%d%H%M%S", "20261208120000\n");
        interfaces.add("br0", AF_INET, "255.255.255.0");
    }

    MessageDispatcher& start() {
        ConsoleCapture console;
        dispatcher = std::make_unique<MessageDispatcher>(
            7217, DaemonEnvironment{shell, interfaces, sleeper, sockets, dir.controllerPaths()});
        startOutput = console.out();
        return *dispatcher;
    }

    // Delivers one datagram and returns what the dispatcher wrote on standard output.
    std::string deliver(const std::string& datagram) {
        ConsoleCapture console;
        in_addr sender{};
        inet_pton(AF_INET, kSender, &sender);
        dispatcher->onMessage(datagram.data(), static_cast<std::int64_t>(datagram.size()),
                              sender.s_addr);
        return console.out();
    }

    QuietSyslog quiet;
    TempDir dir;
    krvtest::EventLog timeline;
    FakeShell shell{&timeline};
    FakeInterfaceLister interfaces;
    krvtest::RecordingSleeper sleeper;
    FakeSockets sockets{timeline};
    std::unique_ptr<MessageDispatcher> dispatcher;
    std::string startOutput;
};

TEST_F(DispatcherTest, ReadsTheSettingsBeforeOpeningTheSocket) {
    dir.write("krvd_interface", "eth1\t\n");
    start();
    ASSERT_FALSE(timeline.events.empty());
    EXPECT_EQ(timeline.events.front(), "shell: trelsetup getsdk");
    EXPECT_EQ(timeline.events.back(), "socket");
    EXPECT_NE(dispatcher->settings().savedcopy(), nullptr);
    // Once from the read, once from the interface selection; tabs do not reach the socket.
    EXPECT_EQ(startOutput,
              "krvd:Detected controller type: 3\n"
              "KRVD using interface: eth1\t\n"
              "krvd:Finished reading network settings\n"
              "KRVD using interface: eth1\t\n");
    EXPECT_EQ(dispatcher->settings().interface(), "eth1\t");
    EXPECT_EQ(dispatcher->broadcaster().interface(), "eth1");
}

TEST_F(DispatcherTest, EchoesEveryDatagramAndWritesTheVerdict) {
    start();
    EXPECT_EQ(deliver("A"), "A\n[192.0.2.20] Message not understood... \n\n");
    EXPECT_EQ(deliver("KRV2#STATUS#seqid=1#mac=00:00:00:00:00:01"),
              "KRV2#STATUS#seqid=1#mac=00:00:00:00:00:01\n[192.0.2.20] Message understood... \n\n");
    EXPECT_EQ(deliver("KRV2#ACK"), "KRV2#ACK\n[192.0.2.20] Message understood... \n\n");
    EXPECT_TRUE(sockets.sent.empty());
}

TEST_F(DispatcherTest, AnswersAQueryBetweenEchoAndVerdict) {
    start();
    const std::string out = deliver("KRV2#QUERY#seqid=17");
    EXPECT_EQ(out.rfind("KRV2#QUERY#seqid=17\nkrvd:Detected controller type: 3\n", 0), 0U) << out;
    EXPECT_TRUE(
        out.ends_with("krvd:Finished reading network settings\n"
                      "[192.0.2.20] Message understood... \n\n"))
        << out;
    ASSERT_EQ(sockets.sent.size(), 1U);
    EXPECT_EQ(sockets.sent[0].rfind("KRV2#STATUS#seqid=17#mac=00:11:22:AA:BB:CC#", 0), 0U);
}

TEST_F(DispatcherTest, ChecksTheHeaderBeforeTheCommand) {
    start();
    const struct {
        const char* datagram;
        bool answered;
    } cases[] = {
        {"KRV2#QUERY#seqid=1", true},   {"KRV0#QUERY#seqid=1", true},  {"KRVx#QUERY#seqid=1", true},
        {"KRV3#QUERY#seqid=1", false},  {"krv2#QUERY#seqid=1", false}, {"KRV#QUERY#seqid=1", false},
        {"KRV22#QUERY#seqid=1", false},
    };
    for (const auto& c : cases) {
        sockets.sent.clear();
        const std::string out = deliver(c.datagram);
        EXPECT_EQ(sockets.sent.size(), c.answered ? 1U : 0U) << c.datagram;
        EXPECT_TRUE(out.ends_with(c.answered ? "] Message understood... \n\n"
                                             : "] Message not understood... \n\n"))
            << c.datagram;
    }
    EXPECT_EQ(deliver("KRV2"), "KRV2\n[192.0.2.20] Message not understood... \n\n");
}

TEST_F(DispatcherTest, KeepsNulBytesOfTheDatagram) {
    start();
    const std::string datagram("KRV2#QUERY#seqid=a\0b", 20);
    const std::string out = deliver(datagram);
    EXPECT_EQ(out.substr(0, 21), datagram + "\n");
    ASSERT_EQ(sockets.sent.size(), 1U);
    EXPECT_NE(sockets.sent[0].find(std::string("#seqid=a\0b#mac=", 15)), std::string::npos);
}

TEST_F(DispatcherTest, StartsEveryDatagramWithAnEmptyMessage) {
    start();
    deliver("KRV2#ASSIGN#seqid=1#mac=00:11:22:aa:bb:cc#ip=192.0.2.10");
    EXPECT_EQ(dispatcher->currentMessage().ip, "192.0.2.10");
    EXPECT_EQ(sleeper.requests, std::vector<unsigned>{5});
    deliver("KRV2#QUERY#seqid=2");
    EXPECT_EQ(dispatcher->currentMessage().ip, "");
    EXPECT_EQ(dispatcher->currentMessage().seqid, "2");
}

}  // namespace
}  // namespace krvd
