// The dispatcher in-process, over a scripted shell and fake socket calls: construction order,
// NUL bytes, that nothing of one datagram survives into the next, and when its lines are
// flushed (before the next wait, and before a datagram's commands and pause). The echo and verdict
// lines and the header check are proven on the real binary in e2e/EndToEnd_test.cpp.

#include "krvd/core/MessageDispatcher.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeServiceManager.h"
#include "tests/support/FakeShell.h"
#include "tests/support/LineFlushRecorder.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/RecordingSockets.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;
using krvtest::FakeInterfaceLister;
using krvtest::FakeShell;
using krvtest::QuietSyslog;
using krvtest::TempDir;

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
    krvtest::RecordingSleeper sleeper{&timeline};
    krvtest::RecordingSockets sockets{&timeline};
    std::unique_ptr<MessageDispatcher> dispatcher;
    std::string startOutput;
};

TEST_F(DispatcherTest, ReadsTheSettingsBeforeOpeningTheSocket) {
    dir.write("krvd_interface", "eth1\t\n");
    start();
    ASSERT_FALSE(timeline.events.empty());
    EXPECT_EQ(timeline.events.front(), "shell: trelsetup getsdk");
    EXPECT_EQ(timeline.firstWithPrefix("socket: "), shell.lines().size());
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

TEST_F(DispatcherTest, KeepsNulBytesOfTheDatagram) {
    start();
    const std::string datagram("KRV2#QUERY#seqid=a\0b", 20);
    const std::string out = deliver(datagram);
    EXPECT_EQ(out.substr(0, 21), datagram + "\n");
    EXPECT_NE(sockets.lastSent.find(std::string("#seqid=a\0b#mac=", 15)), std::string::npos);
}

// Standard output that notes each flush on the timeline with the verdicts it carries.
class FlushRecordingOutput : public std::stringbuf {
  public:
    explicit FlushRecordingOutput(krvtest::EventLog& timeline)
        : timeline_(timeline), previous_(std::cout.rdbuf(this)) {}
    ~FlushRecordingOutput() override { std::cout.rdbuf(previous_); }
    FlushRecordingOutput(const FlushRecordingOutput&) = delete;
    FlushRecordingOutput& operator=(const FlushRecordingOutput&) = delete;

  protected:
    int sync() override {
        std::size_t verdicts = 0;
        const std::string text = str();
        for (auto at = text.find("] Message "); at != std::string::npos;
             at = text.find("] Message ", at + 1)) {
            ++verdicts;
        }
        if (verdicts > flushedVerdicts_) {
            timeline_.add("flush: " + std::to_string(verdicts - flushedVerdicts_) + " verdicts");
        }
        flushedVerdicts_ = verdicts;
        return 0;
    }

  private:
    krvtest::EventLog& timeline_;
    std::streambuf* previous_;
    std::size_t flushedVerdicts_ = 0;
};

TEST_F(DispatcherTest, QueuedDatagramsAreHandledTogetherAndFlushedBeforeTheNextWait) {
    start();
    sockets.datagrams = {"A", "KRV2#STATUS#seqid=1", "KRV2#QUERY#seqid=2#mac=02:00:00:00:00:99"};
    sockets.senderAddress = inet_addr(kSender);
    timeline.events.clear();
    FlushRecordingOutput output(timeline);
    Broadcaster& loop = dispatcher->broadcaster();
    EXPECT_EQ(loop.receiveQueued(), 3u);
    EXPECT_EQ(loop.receiveQueued(), 0u);
    EXPECT_EQ(timeline.events, (std::vector<std::string>{"socket: receive udp", "flush: 3 verdicts",
                                                         "socket: receive udp"}));
    EXPECT_EQ(output.str().find("A\n[192.0.2.20] Message not understood... \n\n"), 0u);
}

TEST_F(DispatcherTest, AnEchoIsWrittenOutBeforeTheDatagramsCommandsAndTheLinesBeforeThePause) {
    start();
    const std::string assign = "KRV2#ASSIGN#seqid=1#mac=00:11:22:aa:bb:cc#ntpip=192.0.2.9";
    sockets.datagrams = {"KRV2#QUERY#seqid=0#mac=02:00:00:00:00:99", assign};
    timeline.events.clear();
    krvtest::LineFlushRecorder output(timeline);
    dispatcher->broadcaster().receiveQueued();
    const auto& events = timeline.events;
    // The query for another controller runs nothing and is not written out on its own.
    EXPECT_EQ(events.at(1), "flush: " + assign);
    EXPECT_EQ(events.at(2), "shell: trelsetup getsdk");
    const auto pause = std::find(events.begin(), events.end(), "sleep: 5");
    ASSERT_NE(pause, events.end());
    EXPECT_EQ(*(pause - 1), "flush: krvd:Finished writing ntp IP settings");
    EXPECT_EQ(
        std::count_if(events.begin(), events.end(),
                      [](const std::string& event) { return event.starts_with("flush: KRV2"); }),
        1);
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

// Every command and pause takes six seconds of the manager's clock: more than a quarter of a
// 20 s watchdog interval.
class SlowShell : public ShellRunner {
  public:
    SlowShell(ShellRunner& shell, krvtest::FakeServiceManager& manager)
        : shell_(shell), manager_(manager) {}
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        manager_.advance(std::chrono::seconds(6));
        return shell_.runCommand(commandLine, firstWordOnly);
    }
    int runForStatus(const std::string& commandLine) override {
        manager_.advance(std::chrono::seconds(6));
        return shell_.runForStatus(commandLine);
    }

  private:
    ShellRunner& shell_;
    krvtest::FakeServiceManager& manager_;
};

// Each command, write and pause found right after the notification named, and nothing slow
// without one.
void expectEverySlowStepAfter(const std::vector<std::string>& events, const std::string& notice) {
    std::size_t steps = 0;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].starts_with("shell: ") || events[i].starts_with("status: ") ||
            events[i].starts_with("sleep: ")) {
            ++steps;
            ASSERT_GT(i, 0u);
            EXPECT_EQ(events[i - 1], "notify: " + notice) << events[i];
        }
    }
    EXPECT_GT(steps, 3u);
}

TEST_F(DispatcherTest, UnderAWatchdogEveryCommandWriteAndThePauseHasTheWholeBudget) {
    using namespace std::chrono_literals;
    krvtest::FakeServiceManager manager(20s, &timeline);
    SlowShell slow(shell, manager);
    {
        ConsoleCapture console;
        dispatcher = std::make_unique<MessageDispatcher>(
            7217,
            DaemonEnvironment{slow, interfaces, sleeper, sockets, dir.controllerPaths(), &manager});
    }
    // The start-up read runs before readiness, under the manager's start timeout.
    expectEverySlowStepAfter(timeline.events, "EXTEND_TIMEOUT_USEC=20000000");

    dispatcher->broadcaster().announceReady();
    // The datagram arrives a moment before the loop's keep-alive would be due, so the loop
    // sends none, and each of its commands outlasts a quarter of the interval.
    manager.advance(4900ms);
    sockets.datagrams = {
        "KRV2#ASSIGN#seqid=1#mac=00:11:22:aa:bb:cc#ntpip=192.0.2.9"
        "#syslogip=192.0.2.8#utcclock=20270101000000"};
    timeline.events.clear();
    ConsoleCapture console;
    EXPECT_EQ(dispatcher->broadcaster().receiveQueued(), 1u);
    expectEverySlowStepAfter(timeline.events, "WATCHDOG=1");
    EXPECT_NE(std::find(timeline.events.begin(), timeline.events.end(),
                        "status: trelsetup setsyslogserver 192.0.2.8"),
              timeline.events.end());
    EXPECT_EQ(timeline.events.back(), "sleep: 5");
}

// Ends the daemon's work at one change command, as the watchdog's kill would.
class CutOffShell : public ShellRunner {
  public:
    CutOffShell(ShellRunner& shell, std::string at) : shell_(shell), at_(std::move(at)) {}
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        return shell_.runCommand(commandLine, firstWordOnly);
    }
    int runForStatus(const std::string& commandLine) override {
        if (commandLine == at_) {
            throw std::runtime_error("killed");
        }
        return shell_.runForStatus(commandLine);
    }

  private:
    ShellRunner& shell_;
    std::string at_;
};

TEST_F(DispatcherTest, AChangeCutOffIsReportedOnceByTheNextDaemonWhichThenGoesOn) {
    CutOffShell cutting(shell, "trelsetup setsyslogserver 192.0.2.8");
    {
        ConsoleCapture console;
        MessageDispatcher killed(
            7217, DaemonEnvironment{cutting, interfaces, sleeper, sockets, dir.controllerPaths()});
        EXPECT_THROW(killed.handleDatagram("KRV2#ASSIGN#seqid=77#mac=00:11:22:aa:bb:cc#ntpip="
                                           "192.0.2.9#syslogip=192.0.2.8"),
                     std::runtime_error);
    }
    const std::string line =
        "krvd:Change cut off by the end of the previous krvd: ASSIGN seqid=77 for MAC "
        "00:11:22:AA:BB:CC (ntpip=192.0.2.9#syslogip=192.0.2.8) stopped at command 2, "
        "\"trelsetup setsyslogserver 192.0.2.8\"; its ACK said accept=yes, the settings may be "
        "partly written\n";
    for (const bool first : {true, false}) {
        SCOPED_TRACE(first);
        ConsoleCapture console;
        const MessageDispatcher next(
            7217, DaemonEnvironment{shell, interfaces, sleeper, sockets, dir.controllerPaths()});
        EXPECT_EQ(console.err(), first ? line : "");
        // Nothing else changes: the start-up read runs as ever.
        EXPECT_EQ(next.settings().mac(), "00:11:22:aa:bb:cc");
    }
}

}  // namespace
}  // namespace krvd
