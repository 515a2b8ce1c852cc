// Covers handleCommand end to end in-process: the real reader and writer run against a
// scripted imx-type controller shell, replies and pauses are recorded. The datagram head and
// the dispatcher's echo are not part of this.
#include "krvd/protocol/CommandHandler.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "krvd/system/SettingsReader.h"
#include "tests/support/EventLog.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/RecordingReplySender.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using krvtest::EventLog;
using krvtest::FakeInterfaceLister;
using krvtest::FakeShell;
using krvtest::QuietSyslog;
using krvtest::RecordingReplySender;
using krvtest::RecordingSleeper;
using krvtest::TempDir;
using Lines = std::vector<std::string>;

const std::string kDeviceMac = "00:11:22:AA:BB:CC";
const std::string kAckYes = "KRV2#ACK#seqid=8#mac=" + kDeviceMac + "#accept=yes";
const std::string kAckNo = "KRV2#ACK#seqid=8#mac=" + kDeviceMac + "#accept=no";

class CommandHandlerTest : public ::testing::Test {
  protected:
    CommandHandlerTest() {
        shell.answer("trelsetup getsdk", "imx");
        shell.answer("trelsetup getmacaddr", "00:11:22:aa:bb:cc");
        shell.answer("trelsetup getipscheme", "STATIC");
        shell.answer("trelsetup getipaddr", "192.0.2.10");
        shell.answer("route -n | grep ^0.0.0.0 | awk '{ print $2 }'", "192.0.2.1");
        shell.answer("trelsetup gettimeserver", "192.0.2.50");
        shell.answer("hostname", "ctl7");
        shell.answer("date -u +%Y%m%d%H%M%S", "20240102030405");
        interfaces.add("br0", AF_INET, "255.255.255.0");
        // What start-up does before the first datagram.
        refresh(settings, system);
        shell.forgetCalls();
        log.events.clear();
    }

    bool handle(const std::string& commandText) {
        message.reset();
        return handler.handleCommand(commandText, message);
    }

    bool ranRefresh() const { return shell.count("trelsetup getsdk") > 0; }

    QuietSyslog quietSyslog;
    EventLog log;
    FakeShell shell{&log};
    FakeInterfaceLister interfaces;
    TempDir files;
    SystemAccess system{shell, interfaces, files.controllerPaths()};
    RecordingReplySender replies{&log};
    RecordingSleeper sleeper{&log};
    Settings settings;
    CommandHandler handler{settings, system, replies, sleeper};
    SetupMessage message;
};

TEST_F(CommandHandlerTest, QueryIsAnsweredWithStatusOfFreshlyReadSettingsAndTheClock) {
    // The reply's layout is Replies_test's; here: read again at the query, clock read as well.
    shell.answer("hostname", "ctl8");
    EXPECT_TRUE(handle("QUERY#seqid=5"));
    ASSERT_EQ(replies.sent.size(), 1U);
    EXPECT_NE(replies.sent[0].find("#hostname=ctl8#"), std::string::npos) << replies.sent[0];
    EXPECT_TRUE(replies.sent[0].ends_with("#utcclock=20240102030405#displaytime="));
}

TEST_F(CommandHandlerTest, QueryIsAnsweredOnlyWhenWellFormedAndForThisMac) {
    struct Case {
        std::string text;
        bool understood;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"QUERY#seqid=5#mac=00:11:22:aa:bb:cc", true, true},
        {"QUERY#seqid=5#", true, true},
        {"QUERY#seqid=5#mac=00:11:22:33:44:55", true, false},
        // The MAC item is all the rest of the query.
        {"QUERY#seqid=5#mac=00:11:22:aa:bb:cc#x=1", true, false},
        {"QUERY#seqid=5#mac=0g:11:22:aa:bb:cc", false, false},
        {"QUERY#seqid=a=b", false, false},
        {"QUERY", false, false},
    };
    for (const Case& c : cases) {
        replies.sent.clear();
        shell.forgetCalls();
        EXPECT_EQ(handle(c.text), c.understood) << c.text;
        EXPECT_EQ(replies.sent.size(), c.answered ? 1U : 0U) << c.text;
        EXPECT_EQ(ranRefresh(), c.answered) << c.text;
        if (c.answered) {
            EXPECT_TRUE(replies.sent[0].starts_with("KRV2#STATUS#seqid=5#mac=" + kDeviceMac + "#"))
                << replies.sent[0];
        }
    }
}

TEST_F(CommandHandlerTest, AcceptedAssignAcksFirstThenWritesOnlyTheChangedGroupAndPauses) {
    EXPECT_TRUE(handle("ASSIGN#seqid=8#mac=00:11:22:aa:bb:cc#ntpip=192.0.2.99"));
    EXPECT_EQ(replies.sent, Lines{kAckYes});
    EXPECT_EQ(shell.statusLines(), Lines{"trelsetup settimeserver 192.0.2.99"});
    EXPECT_EQ(sleeper.requests, std::vector<unsigned>{5});
    EXPECT_EQ(settings.ntpip(), "192.0.2.99");

    const std::size_t refreshAt = log.firstWithPrefix("shell: trelsetup getsdk");
    const std::size_t ackAt = log.firstWithPrefix("send: ");
    const std::size_t writeAt = log.firstWithPrefix("status: ");
    const std::size_t sleepAt = log.firstWithPrefix("sleep: ");
    EXPECT_LT(refreshAt, ackAt);
    EXPECT_LT(ackAt, writeAt);
    EXPECT_LT(writeAt, sleepAt);
    EXPECT_EQ(sleepAt, log.events.size() - 1);
}

TEST_F(CommandHandlerTest, AcceptedAssignWithoutEffectiveChangeWritesNothingButPauses) {
    const Lines lists = {
        "",                      // empty assignment list
        "ntpip=192.0.2.50",      // the time server already set
        "ip=abc#gateway=1.2.3",  // the setters refuse what the lenient parser let through
    };
    for (const std::string& list : lists) {
        replies.sent.clear();
        sleeper.requests.clear();
        shell.forgetCalls();
        const std::string text = "ASSIGN#seqid=8#mac=" + kDeviceMac + (list.empty() ? "" : "#");
        EXPECT_TRUE(handle(text + list)) << list;
        EXPECT_EQ(replies.sent, Lines{kAckYes}) << list;
        EXPECT_EQ(shell.statusLines(), Lines{}) << list;
        EXPECT_EQ(sleeper.requests, std::vector<unsigned>{5}) << list;
        EXPECT_EQ(settings.ip(), "192.0.2.10");
        EXPECT_EQ(settings.gateway(), "192.0.2.1");
    }
}

TEST_F(CommandHandlerTest, AssignAppliesAddressesAndSchemeToTheNetworkGroup) {
    EXPECT_TRUE(handle("ASSIGN#seqid=8#mac=" + kDeviceMac +
                       "#ip=192.0.2.20#netmask=255.255.0.0#gateway=192.0.2.254"));
    EXPECT_EQ(shell.statusLines(), Lines{"trelsetup setip 192.0.2.20 255.255.0.0 192.0.2.254 "});

    shell.forgetCalls();
    EXPECT_TRUE(handle("ASSIGN#seqid=8#mac=" + kDeviceMac + "#ipscheme=DHCP"));
    EXPECT_EQ(shell.statusLines(), Lines{"trelsetup setdhcp"});
}

TEST_F(CommandHandlerTest, AssignWithClockSetsItTwiceAndLeavesNothingPending) {
    EXPECT_TRUE(handle("ASSIGN#seqid=8#mac=" + kDeviceMac + "#utcclock=20240506070809"));
    EXPECT_EQ(replies.sent, Lines{kAckYes});
    EXPECT_EQ(shell.count("date -u -s 202405060708.09"), 2U);
    EXPECT_LT(log.firstWithPrefix("send: "), log.firstWithPrefix("shell: date -u -s"));
    EXPECT_TRUE(settings.pendingclock().empty());
}

TEST_F(CommandHandlerTest, MalformedAssignForThisMacIsRefusedWithoutChanges) {
    // The grammar's refusals are DatagramParser_test's; one of them, after a good item.
    for (const std::string list : {"ip=", "ip=192.0.2.20#ipscheme=static"}) {
        replies.sent.clear();
        shell.forgetCalls();
        EXPECT_FALSE(handle("ASSIGN#seqid=8#mac=" + kDeviceMac + "#" + list)) << list;
        EXPECT_EQ(replies.sent, Lines{kAckNo}) << list;
        EXPECT_TRUE(ranRefresh()) << list;
        EXPECT_EQ(shell.statusLines(), Lines{}) << list;
        EXPECT_EQ(shell.count("date -u -s 202405060708.09"), 0U) << list;
        EXPECT_EQ(settings.ip(), "192.0.2.10") << list;
    }
    EXPECT_TRUE(sleeper.requests.empty());
}

TEST_F(CommandHandlerTest, AssignOrClearNotAddressedHereIsIgnoredSilently) {
    const Lines texts = {
        "ASSIGN#seqid=8#mac=00:11:22:33:44:55#ntpip=192.0.2.99",
        "ASSIGN#seqid=8#mac=00:11:22:33:44:55#ipscheme=static",
        "ASSIGN#seqid=a;b#mac=" + kDeviceMac + "#ntpip=192.0.2.99",  // MAC never parsed
        "CLEAR#seqid=8#mac=00:11:22:33:44:55#hostname",
        "CLEAR#SEQID=8#mac=" + kDeviceMac + "#ntpip",
    };
    for (const std::string& text : texts) {
        EXPECT_TRUE(handle(text)) << text;
    }
    EXPECT_TRUE(replies.sent.empty());
    EXPECT_TRUE(shell.lines().empty());
    EXPECT_TRUE(sleeper.requests.empty());
    EXPECT_EQ(settings.ntpip(), "192.0.2.50");
}

TEST_F(CommandHandlerTest, ClearRunsTheNamedClearingThenAcks) {
    struct Case {
        std::string key;
        std::string command;
    };
    const std::vector<Case> cases = {
        {"ntpip", "trelsetup settimeserver --delete"},
        {"syslogip", "trelsetup setsyslogserver --delete"},
        {"nameserver", "trelsetup setnameserver --delete"},
    };
    for (const Case& c : cases) {
        log.events.clear();
        shell.forgetCalls();
        replies.sent.clear();
        EXPECT_TRUE(handle("CLEAR#seqid=8#mac=00:11:22:aa:bb:cc#" + c.key)) << c.key;
        EXPECT_EQ(log.events, Lines({"shell: " + c.command, "send: " + kAckYes})) << c.key;
    }
    EXPECT_EQ(settings.ntpip(), "192.0.2.50");
}

TEST_F(CommandHandlerTest, ClearOfAnUnknownSettingIsRefusedAfterRefresh) {
    // Which keys count is DatagramParser_test's; here, the key is all the rest of the text.
    for (const std::string key : {"hostname", "ntpip#x"}) {
        replies.sent.clear();
        shell.forgetCalls();
        EXPECT_FALSE(handle("CLEAR#seqid=8#mac=" + kDeviceMac + "#" + key)) << key;
        EXPECT_EQ(replies.sent, Lines{kAckNo}) << key;
        EXPECT_TRUE(ranRefresh()) << key;
        for (const std::string& line : shell.lines()) {
            EXPECT_EQ(line.find("--delete"), std::string::npos) << key;
        }
    }
}

TEST_F(CommandHandlerTest, RepliesOfOtherControllersAreUnderstoodAndOtherWordsAreNot) {
    struct Case {
        std::string text;
        bool understood;
    };
    const std::vector<Case> cases = {
        {"STATUS", true},
        {"ACK#seqid=1#accept=yes", true},
        {"query#seqid=1", false},
        {"STATUSX#seqid=1", false},
        {"", false},
        {"\xff", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(handle(c.text), c.understood) << c.text;
    }
    EXPECT_TRUE(replies.sent.empty());
    EXPECT_TRUE(shell.lines().empty());
}

// Reads the change mark before each command, as a daemon ended at that command would leave it:
// "step N: COMMAND" or "no mark".
class MarkWatchingShell : public ShellRunner {
  public:
    MarkWatchingShell(ShellRunner& shell, std::string markPath)
        : shell_(shell), markPath_(std::move(markPath)) {}
    std::string runCommand(const std::string& commandLine, bool firstWordOnly) override {
        seen.push_back({commandLine, mark()});
        return shell_.runCommand(commandLine, firstWordOnly);
    }
    int runForStatus(const std::string& commandLine) override {
        seen.push_back({commandLine, mark()});
        return shell_.runForStatus(commandLine);
    }
    std::string mark() const {
        std::ifstream file(markPath_);
        if (!file.is_open()) {
            return "no mark";
        }
        std::string line;
        std::string step;
        std::string command;
        while (std::getline(file, line)) {
            if (line.starts_with("step=")) {
                step = line.substr(5);
            } else if (line.starts_with("commandline=")) {
                command = line.substr(12);
            }
        }
        return "step " + step + ": " + command;
    }

    std::vector<std::pair<std::string, std::string>> seen;  // command, mark before it

  private:
    ShellRunner& shell_;
    std::string markPath_;
};

TEST_F(CommandHandlerTest, AnAcknowledgedChangeIsMarkedOnDiskAtEachOfItsCommandsAndOnlyThen) {
    MarkWatchingShell watching(shell, files.file("change-in-progress"));
    SystemAccess watched{watching, interfaces, files.controllerPaths()};
    CommandHandler marked{settings, watched, replies, sleeper};
    struct Case {
        std::string text;
        std::string aChangeCommand;  // empty: nothing may be marked
    };
    const std::vector<Case> cases = {
        {"ASSIGN#seqid=8#mac=00:11:22:aa:bb:cc#ntpip=192.0.2.9#utcclock=20270101000000",
         "trelsetup settimeserver 192.0.2.9"},
        {"CLEAR#seqid=8#mac=00:11:22:aa:bb:cc#ntpip", "trelsetup settimeserver --delete"},
        {"ASSIGN#seqid=8#mac=00:11:22:33:44:55#ntpip=192.0.2.9", ""},
        {"ASSIGN#seqid=8#mac=00:11:22:aa:bb:cc#ipscheme=BOOTP", ""},
        {"CLEAR#seqid=8#mac=00:11:22:aa:bb:cc#hostname", ""},
        {"QUERY#seqid=8", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        watching.seen.clear();
        message.reset();
        marked.handleCommand(c.text, message);
        // The settings read before the acknowledgement changes nothing and is never marked;
        // every command after it finds the mark naming that very command, counted from 1.
        std::size_t step = 0;
        bool changeCommandMarked = false;
        for (const auto& [command, mark] : watching.seen) {
            if (mark == "no mark") {
                EXPECT_EQ(step, 0u) << command << ": unmarked in the middle of a change";
                continue;
            }
            ++step;
            EXPECT_EQ(mark, "step " + std::to_string(step) + ": " + command);
            changeCommandMarked = changeCommandMarked || command == c.aChangeCommand;
        }
        EXPECT_EQ(changeCommandMarked, !c.aChangeCommand.empty());
        EXPECT_EQ(step > 0, !c.aChangeCommand.empty());
        EXPECT_EQ(watching.mark(), "no mark");
    }
}

}  // namespace
}  // namespace krvd
