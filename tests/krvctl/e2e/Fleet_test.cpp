// krvctl on a LAN of many controllers: two dozen real daemons, each on its own simulated
// controller with its own MAC (half of them answering through raw frames), listed, planned and
// applied from a spreadsheet's file in one test (two dozen daemons take many seconds to start
// and to read their state), and a responder that answers one QUERY with a thousand STATUS
// replies at once. Collection and apply times are reported, not asserted.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "krvctl/lan/DatagramDecoder.h"
#include "protocol/MessageText.h"
#include "protocol/Wire.h"
#include "tests/core/e2e/NetworkLab.h"
#include "tests/krvctl/e2e/Lan.h"
#include "tests/support/TempDir.h"

namespace krvctl::e2e {
namespace {

using krvd::e2e::Daemon;
using Json = nlohmann::json;
namespace wire = krv::wire;

constexpr int kFleetSize = 24;
constexpr int kStormSize = 1000;

// Two dozen daemons on a LAN of their own, each on its own simulated controller with its own
// MAC; half of them reply with hand-built raw frames.
class Fleet : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!lan.failure().empty()) {
            GTEST_SKIP() << lan.failure();
        }
        std::string failure;
        auto started = startFleet(lan, kFleetSize, failure);
        ASSERT_TRUE(started) << failure;
        daemons = std::move(*started);
    }

    Lan lan;
    std::vector<std::unique_ptr<Daemon>> daemons;  // stopped before the LAN goes
};

std::size_t occurrences(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
        ++count;
    }
    return count;
}

// ASSIGNs addressed to mac among the datagrams a daemon echoed: every daemon hears them all.
std::size_t assignsTo(const std::string& echoed, const std::string& mac) {
    std::size_t count = 0;
    std::istringstream lines(echoed);
    for (std::string line; std::getline(lines, line);) {
        count += line.find("#ASSIGN#") != std::string::npos && line.find(mac) != std::string::npos;
    }
    return count;
}

// The report's row of mac, without its line number and interface.
std::string reportRow(const std::string& table, const std::string& mac) {
    const auto at = table.find(";" + mac + ";");
    if (at == std::string::npos) {
        return {};
    }
    return table.substr(at, table.find('\n', at) - at);
}

struct TimedRun {
    ToolRun run;
    double seconds = 0;
};

TimedRun timed(const std::string& hub, const std::vector<std::string>& arguments) {
    const auto start = std::chrono::steady_clock::now();
    TimedRun result{runTool(hub, arguments, std::nullopt, 120), 0};
    result.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return result;
}

// What changed the controllers: every change command in the daemons' records.
std::size_t changeCommands(const std::vector<std::unique_ptr<Daemon>>& daemons) {
    std::size_t count = 0;
    for (const auto& daemon : daemons) {
        const std::string record = daemon->commandRecord();
        count += occurrences(record, "trelsetup set");
    }
    return count;
}

TEST_F(Fleet, APlanFromASpreadsheetIsAppliedOnceAndThenFindsNothingToDo) {
    const std::string& hub = lan.hubNamespace();
    const krvtest::TempDir folder;
    // The window a user gets by default: two dozen controllers reading their state at once on
    // a loaded machine answer late, and the tool must cope with that itself. KRV_FLEET_WINDOW
    // tries another, KRV_FLEET_PARALLEL=8 the default number at once.
    const auto setting = [](const char* name, const char* otherwise) {
        const char* given = std::getenv(name);
        return std::string(given != nullptr ? given : otherwise);
    };
    const std::string window = setting("KRV_FLEET_WINDOW", "3");
    const std::string parallel = setting("KRV_FLEET_PARALLEL", "24");

    // Exported, then edited and saved as a spreadsheet does in many locales: ";", a byte-order
    // mark, CRLF. Every controller gets a new time server; the even ones a new syslog server,
    // the odd ones none; one moves to a new address; one planned controller is not there.
    // The export is made by an engineer who widens the window once when the list comes out
    // short: two dozen simulated controllers reading their state at once on two loaded cores
    // answer after 10 s and more. No retries: each copy of the query would cost every one of
    // them another read before the commands that follow. Plan and apply get no more than the
    // user's default.
    ToolRun exported;
    for (const char* exportWindow : {"10", "30"}) {
        exported = runTool(hub, {"--timeout", exportWindow, "--retries", "0", "discover", "--csv"});
        if (occurrences(exported.out, "\n") > static_cast<std::size_t>(kFleetSize)) {
            break;
        }
    }
    ASSERT_EQ(exported.status, 0) << exported.err;
    std::cout << "[ fleet    ] " << exported.err;
    std::istringstream lines(exported.out);
    std::string line;
    std::getline(lines, line);
    ASSERT_TRUE(line.starts_with("mac,ip,")) << line;
    std::string plan = "\xEF\xBB\xBFmac;ip;ntpip;syslogip;house\r\n";
    int rows = 0;
    std::multiset<std::string> listed;
    while (std::getline(lines, line)) {
        const std::string mac = line.substr(0, line.find(','));
        listed.insert(mac);
        const int index = std::stoi(mac.substr(15), nullptr, 16);
        plan += mac + ";" + (index == 5 ? "192.0.2.105" : "") + ";192.0.2.124;" +
                (index % 2 == 0 ? "192.0.2.125" : "-") + ";house " + std::to_string(index) + "\r\n";
        ++rows;
    }
    ASSERT_EQ(rows, kFleetSize);
    for (int i = 0; i < kFleetSize; ++i) {
        EXPECT_EQ(listed.count(fleetMac(i)), 1u) << fleetMac(i);
    }
    plan += "02:00:00:4B:20:99;;192.0.2.124;;spare\r\n";
    const std::string path = folder.write("greenhouse.csv", plan);
    const std::string report = folder.file("applied.csv");

    // Every daemon hears the ASSIGN; only its target acts on it.
    const TimedRun assign =
        timed(hub, {"--timeout", window, "assign", fleetMac(0), "ntpip=192.0.2.60"});
    ASSERT_EQ(assign.run.status, 0) << assign.run.err;
    for (int i = 0; i < kFleetSize; ++i) {
        const bool changed =
            daemons[i]->commandRecord().find("trelsetup settimeserver") != std::string::npos;
        EXPECT_EQ(changed, i == 0) << "controller " << i;
    }

    const ToolRun planned = runTool(hub, {"--timeout", window, "--json", "plan", path});
    EXPECT_EQ(planned.status, 2) << planned.err;
    const Json changes = Json::parse(planned.out);
    ASSERT_EQ(changes["changes"].size(), static_cast<std::size_t>(kFleetSize)) << planned.err;
    ASSERT_EQ(changes["missing"].size(), 1u) << planned.err;
    EXPECT_EQ(changes["missing"][0]["house"], "spare");
    EXPECT_EQ(changes["changes"][5]["ip"]["wanted"], "192.0.2.105");

    const std::size_t changedBefore = changeCommands(daemons);
    std::vector<std::size_t> assignsBefore;
    for (const auto& daemon : daemons) {
        assignsBefore.push_back(
            assignsTo(daemon->standardOutput(), fleetMac(static_cast<int>(assignsBefore.size()))));
    }
    const TimedRun applied = timed(hub, {"--timeout", window, "apply", "--yes", "--parallel",
                                         parallel, "--report", report, path});
    EXPECT_EQ(applied.run.status, 2) << applied.run.err << applied.run.out;
    const std::string table = krvd::e2e::readFile(report);
    // The report takes the plan's separator. A controller slowed by the load may answer only
    // the query after its silence: changed and verified all the same.
    std::size_t ok = 0;
    for (int i = 0; i < kFleetSize; ++i) {
        const std::string row = reportRow(table, fleetMac(i));
        const std::string house = ";house " + std::to_string(i) + ";";
        ok += row.find(house + "ok;") != std::string::npos ||
              row.find(house + "verified late;") != std::string::npos;
    }
    EXPECT_EQ(ok, static_cast<std::size_t>(kFleetSize)) << table;
    EXPECT_NE(reportRow(table, "02:00:00:4B:20:99").find(";spare;missing;"), std::string::npos)
        << table;
    // Verified at its new address: the STATUS after the pause came from the moved controller.
    const std::string moved = reportRow(table, fleetMac(5));
    EXPECT_TRUE(moved.find(";house 5;ok;ok;ok;ok;") != std::string::npos ||
                moved.find(";house 5;verified late;ok;ok;ok;") != std::string::npos)
        << table;
    for (int i = 0; i < kFleetSize; ++i) {
        const std::string record = daemons[i]->commandRecord();
        EXPECT_NE(record.find("settimeserver 192.0.2.124"), std::string::npos) << i;
        EXPECT_NE(
            record.find(i % 2 == 0 ? "setsyslogserver 192.0.2.125" : "setsyslogserver --delete"),
            std::string::npos)
            << i << record;
    }
    EXPECT_NE(daemons[5]->commandRecord().find("setip 192.0.2.105"), std::string::npos);
    // Nothing is lost between namespaces: a second copy of an ASSIGN would only cost its
    // controller a second pause.
    std::size_t mostCopies = 0;
    std::size_t copies = 0;
    for (std::size_t i = 0; i < daemons.size(); ++i) {
        const std::size_t heard =
            assignsTo(daemons[i]->standardOutput(), fleetMac(static_cast<int>(i))) -
            assignsBefore[i];
        EXPECT_EQ(heard, 1u) << "controller " << i;
        mostCopies = std::max(mostCopies, heard);
        copies += heard;
    }

    // Once more, the spare now marked absent: nothing to change, so no ASSIGN or CLEAR reaches
    // any controller, and the run ends as soon as every installed one has answered.
    const std::size_t changedAfter = changeCommands(daemons);
    const std::string heard = daemons[1]->standardOutput();
    std::string marked = plan;
    marked.replace(marked.find("house\r\n"), 7, "house;absent\r\n");
    marked.replace(marked.find(";spare\r\n"), 8, ";spare;yes\r\n");
    const std::string markedPath = folder.write("greenhouse-marked.csv", marked);
    const TimedRun again =
        timed(hub, {"--timeout", window, "apply", "--yes", "--parallel", parallel, markedPath});
    EXPECT_EQ(again.run.status, 0) << again.run.err;
    std::cout << "[ fleet    ] the second apply: " << again.run.err;
    EXPECT_GT(changedAfter, changedBefore);
    EXPECT_EQ(changeCommands(daemons), changedAfter);
    const std::string heardAgain = daemons[1]->standardOutput();
    EXPECT_EQ(occurrences(heardAgain, "#ASSIGN#"), occurrences(heard, "#ASSIGN#"));
    EXPECT_EQ(occurrences(heardAgain, "#CLEAR#"), occurrences(heard, "#CLEAR#"));

    char figures[300];
    std::snprintf(figures, sizeof figures,
                  "one verified assign %.1f s; apply to all %d, %s at once, %.1f s (%.2f times), "
                  "%zu ASSIGN copies heard, at most %zu by one controller; the second apply "
                  "%.1f s (window %s s)\n",
                  assign.seconds, kFleetSize, parallel.c_str(), applied.seconds,
                  applied.seconds / assign.seconds, copies, mostCopies, again.seconds,
                  window.c_str());
    std::cout << "[ fleet    ] " << figures;
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
            sent += krvd::e2e::broadcastDatagram(socketFd, reply);
        }
        return sent;
    }
    return 0;
}

TEST(Storm, AThousandRepliesInOneBurstAreAllListed) {
    Lan lan;
    if (!lan.failure().empty()) {
        GTEST_SKIP() << lan.failure();
    }
    const auto host = lan.addHost("192.0.2.5", false);
    ASSERT_TRUE(host) << lan.failure();
    int responder = -1;
    ASSERT_TRUE(krvd::e2e::runInNamespace(*host, [&] { responder = krvd::e2e::openSetupPort(); }));
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
