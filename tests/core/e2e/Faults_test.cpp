// The real krvd binary facing a faulty controller: tools that fail in every way a program can,
// run-time files that are missing, unreadable or change while it runs, no privilege for raw
// sockets, a port already taken, and a stop in the middle of a queue of datagrams. In each case
// it reports what it should and goes on answering. Canned answers come from krv-sim.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "tests/core/e2e/EndToEndFixture.h"

namespace krvd::e2e {
namespace {

// Waits until the simulated tools have been run with text in their arguments count times.
bool waitForRecord(const Daemon& daemon, const std::string& text, std::size_t count,
                   std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (occurrences(daemon.commandRecord(), text) >= count) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// The daemon without the right to read files it does not own the permission bits for.
const std::vector<std::string> kWithoutFileOverride = {"setpriv",
                                                       "--bounding-set",
                                                       "-dac_override,-dac_read_search",
                                                       "--inh-caps",
                                                       "-dac_override,-dac_read_search",
                                                       "--"};

using Faults = EndToEnd;

TEST_F(Faults, QueryToolsThatFailInEveryWayLeaveTheirFieldsAsTheReaderSays) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    for (const std::vector<std::string>& answer : {
             std::vector<std::string>{"getsyslogserver", "error"},
             {"gettimeserver", "empty"},
             {"getsdkversion", "binary"},
             {"getmacaddr fromfuses primary", "long:600"},
             {"ntpq", "missing"},
             {"sdcard info usage", "exit:3", "text:45%"},
             {"Get", "sleep:1", "text:1700000000"},
         }) {
        std::vector<std::string> arguments = {"answer"};
        arguments.insert(arguments.end(), answer.begin(), answer.end());
        daemon->configure(arguments);
    }
    const std::size_t displayReads = occurrences(daemon->commandRecord(), "Get ");
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=1"));
    ASSERT_TRUE(waitForRecord(*daemon, "Get ", displayReads + 1, 10s));
    // While the display query hangs, more datagrams queue up; each is handled in turn.
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=2#mac=02:00:00:00:00:99"));
    ASSERT_TRUE(peer->broadcast("junk"));
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=3#mac=" + std::string(kDeviceMac)));

    const auto first = peer->receive("KRV2#STATUS#seqid=1#", 10s);
    ASSERT_TRUE(first);
    const std::string& status = first->text;
    EXPECT_EQ(field(status, "syslogip"), "192.0.2.50");  // an ERROR:: answer keeps the value
    EXPECT_EQ(field(status, "ntpip"), "<absent>");       // an empty answer empties it
    // The first word of a binary line, up to the NUL: separators of the protocol included.
    EXPECT_EQ(field(status, "sdkversion"), "\x01\x02\x1b[2J");
    EXPECT_NE(status.find("#sdkversion=\x01\x02\x1b[2J#=;\x7f\x80\xff\xfe#mac1="),
              std::string::npos);
    EXPECT_EQ(field(status, "mac1"), std::string(510, 'L'));  // cut to the line buffer
    EXPECT_EQ(field(status, "ntpsync"), "no");
    EXPECT_EQ(field(status, "sdusage"), "45%");  // the exit status of a query is not looked at
    EXPECT_EQ(field(status, "displaytime").size(), 14u);

    const auto third = peer->receive("KRV2#STATUS#seqid=3#", 10s);
    ASSERT_TRUE(third);
    EXPECT_EQ(field(third->text, "mac"), kDeviceMac);
    ASSERT_TRUE(daemon->waitForOutput("KRV2#QUERY#seqid=3", 5s));
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("KRV2#QUERY#seqid=2#mac=02:00:00:00:00:99\n"
                       "[192.0.2.20] Message understood... \n\n"
                       "junk\n"
                       "[192.0.2.20] Message not understood... \n\n"),
              std::string::npos);
    EXPECT_NE(daemon->standardError().find("sh: 1: ntpq: not found\n"), std::string::npos);
}

TEST_F(Faults, ChangeAndClearingToolsThatFailAreReportedAndTheDaemonGoesOn) {
    bringUp(NetworkLab::Side::Bridge, {},
            {{"answer", "settimeserver", "exit:1"},
             {"answer", "setnameserver --delete", "error"},
             {"answer", "setsyslogserver", "missing"}});
    if (!ready()) {
        return;
    }
    const std::string mac = kDeviceMac;
    auto ack = ask("KRV2#CLEAR#seqid=1#mac=" + mac + "#nameserver", "KRV2#ACK#seqid=1#");
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->text.ends_with("#accept=yes"));  // the clearing result is not reported
    ack = ask("KRV2#ASSIGN#seqid=2#mac=" + mac + "#ntpip=192.0.2.77#syslogip=192.0.2.78",
              "KRV2#ACK#seqid=2#");
    ASSERT_TRUE(ack);
    EXPECT_TRUE(ack->text.ends_with("#accept=yes"));
    const auto status = ask("KRV2#QUERY#seqid=3", "KRV2#STATUS#seqid=3#", 15s);
    ASSERT_TRUE(status);
    EXPECT_EQ(field(status->text, "ntpip"), "192.0.2.123");  // the failed change did not land

    const std::string err = daemon->standardError();
    EXPECT_NE(err.find("krvd:Error setting ntp IP\n"), std::string::npos) << err;
    EXPECT_NE(err.find("krvd:Error setting syslog IP\n"), std::string::npos) << err;
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("krvd:trelsetup settimeserver 192.0.2.77\n"
                       "krvd:Finished writing ntp IP settings\n"),
              std::string::npos);
    EXPECT_NE(out.find("krvd:Finished writing syslog IP settings\n"
                       "krvd:Writing network settings\n"),
              std::string::npos);
}

TEST_F(Faults, RunTimeFilesMissingUnreadableOrChangedWhileRunning) {
    bringUp(NetworkLab::Side::Bridge, {.wrapper = kWithoutFileOverride},
            {{"file", "controller", "ctl-A"}, {"file", "housenames", "house-A"}});
    if (!ready()) {
        return;
    }
    const std::string files = daemon->workDir() + "/state/files/";
    auto status = ask("KRV2#QUERY#seqid=1", "KRV2#STATUS#seqid=1#");
    ASSERT_TRUE(status);
    EXPECT_EQ(field(status->text, "controller"), "ctl-A");

    // Files that cannot be opened keep the values read before.
    daemon->configure({"file", "controller", "--delete"});
    daemon->configure({"file", "housenames", "house-B"});
    std::filesystem::permissions(files + "housenames", std::filesystem::perms::none);
    // The interface changes while running: later probes name it, replies keep their way out.
    daemon->configure({"file", "krvd_interface", "eth0"});
    status = ask("KRV2#QUERY#seqid=2", "KRV2#STATUS#seqid=2#");
    ASSERT_TRUE(status);
    EXPECT_EQ(field(status->text, "controller"), "ctl-A");
    EXPECT_EQ(field(status->text, "housenames"), "house-A");
    EXPECT_EQ(field(status->text, "netmask"), "255.255.255.0");  // eth0 holds no address here
    EXPECT_NE(daemon->commandRecord().find("trelsetup getipaddr eth0\n"), std::string::npos);

    // A name that would be shell reaches the tool as one word; a name too long means br0.
    daemon->configure({"file", "krvd_interface", "a;b"});
    ASSERT_TRUE(ask("KRV2#QUERY#seqid=3", "KRV2#STATUS#seqid=3#"));
    daemon->configure({"file", "krvd_interface", "eth0123456"});
    ASSERT_TRUE(ask("KRV2#QUERY#seqid=4", "KRV2#STATUS#seqid=4#"));
    const std::string record = daemon->commandRecord();
    EXPECT_NE(record.find("trelsetup getipaddr a;b\n"), std::string::npos) << record;
    EXPECT_EQ(record.rfind("trelsetup getipaddr\n"), record.rfind("trelsetup getipaddr"));
    const std::string out = daemon->standardOutput();
    EXPECT_NE(out.find("KRVD using interface: a;b\n"), std::string::npos);
    EXPECT_EQ(daemon->standardError().find("not found"), std::string::npos);
}

TEST_F(Faults, WithoutTheRightToRawSocketsEachReplyIsReportedLostAndTheDaemonGoesOn) {
    bringUp(NetworkLab::Side::Plain,
            {.wrapper = {"setpriv", "--bounding-set", "-net_raw", "--inh-caps", "-net_raw", "--"}});
    if (!ready()) {
        return;
    }
    for (const char* seqid : {"1", "2"}) {
        ASSERT_TRUE(peer->broadcast(std::string("KRV2#QUERY#seqid=") + seqid));
        EXPECT_FALSE(peer->capture(std::string("KRV2#STATUS#seqid=") + seqid + "#", 3s));
    }
    ASSERT_TRUE(peer->broadcast("KRV2#STATUS#seqid=3"));
    ASSERT_TRUE(daemon->waitForOutput("KRV2#STATUS#seqid=3\n[192.0.2.20] Message understood", 5s));
    EXPECT_EQ(daemon->standardError(),
              "Failed to create raw socket: 1\nFailed to create raw socket: 1\n");
    EXPECT_EQ(occurrences(daemon->standardOutput(), "] Message understood... \n\n"), 3u);
}

TEST_F(Faults, APortTakenWithoutAddressReuseEndsTheStartWithStatus1) {
    prepare(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    const int holder = lab->bindUdpInController(7217);
    ASSERT_GE(holder, 0);
    EXPECT_FALSE(daemon->start());
    const auto status = daemon->waitForExit(10s);
    close(holder);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 1) << *status;
    EXPECT_EQ(daemon->standardError(), "Error binding socket: 98\n");
    EXPECT_EQ(daemon->standardOutput().find("Listening"), std::string::npos);
}

TEST_F(Faults, AStopWhileDatagramsAreQueuedLosesNoneOfTheirLines) {
    bringUp(NetworkLab::Side::Bridge);
    if (!ready()) {
        return;
    }
    daemon->configure({"answer", "Get", "sleep:1", "text:1700000000"});
    const std::size_t displayReads = occurrences(daemon->commandRecord(), "Get ");
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=1"));
    ASSERT_TRUE(waitForRecord(*daemon, "Get ", displayReads + 1, 10s));
    // Queued behind the first query: handled in one go, with no wait and so no flush between
    // them, up to the second query, which is still running when the stop comes.
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(peer->broadcast("junk " + std::to_string(i)));
    }
    ASSERT_TRUE(peer->broadcast("KRV2#QUERY#seqid=2"));
    ASSERT_TRUE(waitForRecord(*daemon, "Get ", displayReads + 2, 10s));
    ASSERT_EQ(kill(daemon->pid(), SIGTERM), 0);

    const auto status = daemon->waitForExit(10s);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    // The query in hand was finished: answered and logged.
    EXPECT_TRUE(peer->receive("KRV2#STATUS#seqid=2#", 5s));
    const std::string out = daemon->standardOutput();
    for (int i = 0; i < 5; ++i) {
        EXPECT_NE(
            out.find("junk " + std::to_string(i) + "\n[192.0.2.20] Message not understood... \n\n"),
            std::string::npos)
            << i;
    }
    EXPECT_TRUE(
        out.ends_with("krvd:Finished reading network settings\n"
                      "[192.0.2.20] Message understood... \n\n"))
        << out;
}

}  // namespace
}  // namespace krvd::e2e
