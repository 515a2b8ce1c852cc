// krvctl's fleet goals timed on a LAN of network namespaces, with the real krvctl binary: one
// verified assign, then an apply of one change to every controller (goal: within 1.3 times
// the assign), then the same apply with nothing left to change (goal: within 1.5 s). Two scenes:
//   - "site": controllers with a processor each, as on a real site. Each answers as krvd does
//     (one datagram at a time, a read of its state before every answer but an accepted CLEAR,
//     the pause after an ASSIGN), taking as long to read as one real daemon takes here alone,
//     but waiting instead of computing, so that they do not share this machine's cores;
//   - "daemons": as many real daemons on simulated controllers, all reading their state through
//     the shell on this machine's cores at once (the figure the suite's fleet lab prints).
// Needs root. Prints "figure: value" lines.
//   bench_fleet [--controllers N] [--rounds N] [--scene site|daemons|both]

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchOptions.h"
#include "bench/QueryLines.h"
#include "krvctl/lan/DatagramDecoder.h"
#include "protocol/MessageText.h"
#include "protocol/Wire.h"
#include "tests/core/e2e/NetworkLab.h"
#include "tests/krvctl/e2e/Lan.h"
#include "tests/krvctl/support/FakeController.h"
#include "tests/support/TempDir.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;
namespace wire = krv::wire;
using krvctl::e2e::fleetMac;
using krvctl::e2e::Lan;
using krvctl::e2e::runTool;
using krvd::e2e::Daemon;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// How long one real daemon on a simulated controller takes from a QUERY to its STATUS when it
// has the machine to itself: the read time of a controller with a processor of its own.
std::optional<milliseconds> oneDaemonsReadTime() {
    krvd::e2e::NetworkLab lab(krvd::e2e::NetworkLab::Side::Bridge);
    krvd::e2e::Peer peer(lab);
    Daemon daemon(lab, {});
    if (!lab.failure().empty() || !peer.failure().empty() || !daemon.start()) {
        std::cerr << "bench_fleet: " << lab.failure() << peer.failure() << daemon.failure() << "\n";
        return std::nullopt;
    }
    std::vector<double> trips;
    for (int i = 0; i < 7; ++i) {
        const std::string seqid = "read" + std::to_string(i);
        const auto start = Clock::now();
        peer.broadcast("KRV2#QUERY#seqid=" + seqid);
        if (peer.receive("KRV2#STATUS#seqid=" + seqid + "#", std::chrono::seconds(20))) {
            trips.push_back(secondsSince(start));
        }
    }
    if (trips.empty()) {
        return std::nullopt;
    }
    return milliseconds(static_cast<long>(krvbench::median(trips) * 1000));
}

// A controller of the site scene on its own host: a UDP socket on the port, served by a thread
// of its own until the object goes.
class SiteController {
  public:
    SiteController(const std::string& networkNamespace, krvctl::test::FakeController state,
                   milliseconds readTime)
        : state_(std::move(state)), readTime_(readTime) {
        krvd::e2e::runInNamespace(networkNamespace,
                                  [this] { socket_ = krvd::e2e::openSetupPort(); });
        if (socket_ >= 0) {
            server_ = std::thread([this] { serve(); });
        }
    }
    ~SiteController() {
        stop_ = true;
        if (server_.joinable()) {
            server_.join();
        }
        if (socket_ >= 0) {
            ::close(socket_);
        }
    }
    SiteController(const SiteController&) = delete;
    SiteController& operator=(const SiteController&) = delete;

    bool listening() const { return socket_ >= 0; }
    int assignsHeard() const { return assignsHeard_; }

  private:
    // Bounded by the stop flag, looked at every 100 ms, and by every wait being bounded.
    void serve() {
        while (!stop_) {
            pollfd entry{socket_, POLLIN, 0};
            if (::poll(&entry, 1, 100) <= 0) {
                continue;
            }
            char buffer[2048];
            const ssize_t count = ::recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                answer(krvctl::decodeDatagram(
                    std::string_view(buffer, static_cast<std::size_t>(count))));
            }
        }
    }

    void answer(const krvctl::DecodedDatagram& request) {
        const std::string* seqid = request.find(wire::key::kSeqid);
        const std::string* mac = request.find(wire::key::kMac);
        const bool addressed =
            mac == nullptr ? request.command == krvctl::Command::Query : *mac == state_.mac;
        if (seqid == nullptr || !addressed) {
            return;
        }
        // The daemon reads its whole state before every answer but to a CLEAR it takes.
        const bool clearTaken =
            request.command == krvctl::Command::Clear && request.items.size() > 2 &&
            std::find(wire::kClearKeys.begin(), wire::kClearKeys.end(), request.items[2].key) !=
                wire::kClearKeys.end();
        if (!clearTaken) {
            std::this_thread::sleep_for(readTime_);
        }
        const auto wallMs = std::chrono::duration_cast<milliseconds>(
                                std::chrono::system_clock::now().time_since_epoch())
                                .count();
        switch (request.command) {
            case krvctl::Command::Query:
                krvd::e2e::broadcastDatagram(socket_, state_.status(*seqid, wallMs));
                break;
            case krvctl::Command::Assign:
                ++assignsHeard_;
                krvd::e2e::broadcastDatagram(socket_, krv::ackText(*seqid, state_.mac, true));
                state_.take(request, wallMs);
                std::this_thread::sleep_for(std::chrono::seconds(wire::kPauseAfterAssignSeconds));
                break;
            case krvctl::Command::Clear:
                krvd::e2e::broadcastDatagram(socket_, krv::ackText(*seqid, state_.mac, clearTaken));
                if (clearTaken) {
                    state_.forget(request.items[2].key);
                }
                break;
            default:
                break;
        }
    }

    krvctl::test::FakeController state_;
    milliseconds readTime_;
    int socket_ = -1;
    std::atomic<bool> stop_ = false;
    std::atomic<int> assignsHeard_ = 0;
    std::thread server_;
};

struct SceneFigures {
    std::vector<double> assign;
    std::vector<double> apply;
    std::vector<double> noop;
    int failedRuns = 0;
};

// Each round: a verified assign to the first controller, an apply that gives every controller
// a new time server (another each round), and the same apply again.
SceneFigures measureScene(const std::string& hub, int controllers, int rounds) {
    SceneFigures figures;
    const krvtest::TempDir folder;
    for (int round = 0; round < rounds; ++round) {
        const std::string server = "192.0.2." + std::to_string(130 + round % 2);
        std::string plan = "mac,ntpip\n";
        for (int i = 0; i < controllers; ++i) {
            plan += fleetMac(i) + "," + server + "\n";
        }
        const std::string path = folder.write("plan.csv", plan);
        const auto timed = [&](const std::vector<std::string>& arguments, int expected,
                               std::vector<double>& into) {
            const auto start = Clock::now();
            const krvctl::e2e::ToolRun run = runTool(hub, arguments, std::nullopt, 120);
            into.push_back(secondsSince(start));
            if (run.status != expected) {
                ++figures.failedRuns;
                std::cerr << "bench_fleet: krvctl exited " << run.status << ":\n" << run.err;
            }
        };
        timed({"assign", fleetMac(0), "ntpip=192.0.2." + std::to_string(140 + round % 2)}, 0,
              figures.assign);
        timed({"apply", "--yes", "--parallel", std::to_string(controllers), path}, 0,
              figures.apply);
        timed({"apply", "--yes", path}, 0, figures.noop);
    }
    return figures;
}

void print(const std::string& scene, const SceneFigures& figures) {
    const double assign = krvbench::median(figures.assign);
    const double apply = krvbench::median(figures.apply);
    const double noop = krvbench::median(figures.noop);
    const auto series = [](const std::vector<double>& values) {
        std::string text;
        for (const double seconds : values) {
            char one[16];
            std::snprintf(one, sizeof one, " %.2f", seconds);
            text += one;
        }
        return text;
    };
    std::fprintf(stderr, "%s: assign%s s; apply%s s; no-op apply%s s\n", scene.c_str(),
                 series(figures.assign).c_str(), series(figures.apply).c_str(),
                 series(figures.noop).c_str());
    std::printf("%s_assign_s: %.2f\n", scene.c_str(), assign);
    std::printf("%s_apply_s: %.2f\n", scene.c_str(), apply);
    std::printf("%s_apply_per_assign: %.2f (goal <= 1.3)\n", scene.c_str(),
                assign > 0 ? apply / assign : 0);
    std::printf("%s_noop_apply_s: %.2f (goal <= 1.5)\n", scene.c_str(), noop);
    std::printf("%s_failed_runs: %d\n", scene.c_str(), figures.failedRuns);
}

int siteScene(int controllers, int rounds) {
    const auto readTime = oneDaemonsReadTime();
    if (!readTime) {
        std::cerr << "bench_fleet: one daemon did not answer\n";
        return 1;
    }
    std::printf("site_read_ms: %ld (one real daemon alone, QUERY to STATUS)\n",
                static_cast<long>(readTime->count()));
    Lan lan;
    if (!lan.failure().empty()) {
        std::cerr << "bench_fleet: " << lan.failure() << "\n";
        return 77;
    }
    std::vector<std::unique_ptr<SiteController>> site;  // gone before the LAN
    for (int i = 0; i < controllers; ++i) {
        const std::string address = "192.0.2." + std::to_string(10 + i);
        const auto host = lan.addHost(address, false);
        if (!host) {
            std::cerr << "bench_fleet: " << lan.failure() << "\n";
            return 1;
        }
        krvctl::test::FakeController state;
        state.mac = fleetMac(i);
        state.from = address;
        state.values["ip"] = address;
        state.values["hostname"] = "ctl-" + std::to_string(i);
        site.push_back(std::make_unique<SiteController>(*host, state, *readTime));
        if (!site.back()->listening()) {
            std::cerr << "bench_fleet: no port on " << *host << "\n";
            return 1;
        }
    }
    const SceneFigures figures = measureScene(lan.hubNamespace(), controllers, rounds);
    print("site", figures);
    // A second copy of an ASSIGN would cost its controller a second pause.
    int heard = 0;
    for (const auto& controller : site) {
        heard += controller->assignsHeard();
    }
    std::printf("site_assign_copies_heard: %d (for %d assignments)\n", heard,
                rounds * (controllers + 1));
    return figures.failedRuns == 0 ? 0 : 1;
}

// The least one round of reads of a fleet of daemons costs on this machine: as many reads at
// once as there are controllers, each the query's command lines by sh -c with every tool of
// the controller a program that does nothing. A fleet sharing these cores cannot answer a
// broadcast QUERY sooner, whatever its tools cost.
std::optional<double> readFloorSeconds(int controllers) {
    const krvtest::TempDir folder;
    for (const char* tool : {"trelsetup", "ubootenv", "route", "ntpq", "ntpdc", "timedatectl",
                             "Get", "df", "date", "hostname"}) {
        if (::symlink("/bin/true", folder.file(tool).c_str()) != 0) {
            return std::nullopt;
        }
    }
    std::vector<std::string> lines;
    for (const std::string& line : krvbench::queryCommandLines()) {
        lines.push_back("PATH=" + folder.path() + ":/usr/bin:/bin; exec 2>/dev/null; " + line);
    }
    std::atomic<bool> ran = true;
    const auto start = Clock::now();
    std::vector<std::thread> reads;
    for (int i = 0; i < controllers; ++i) {
        reads.emplace_back([&] { ran = krvbench::runCommandLines(lines) && ran; });
    }
    for (auto& read : reads) {
        read.join();
    }
    const double seconds = secondsSince(start);
    return ran ? std::optional(seconds) : std::nullopt;
}

int daemonScene(int controllers, int rounds) {
    if (const auto floor = readFloorSeconds(controllers)) {
        std::printf("daemons_read_floor_s: %.2f (%d reads at once, tools that do nothing)\n",
                    *floor, controllers);
    }
    Lan lan;
    if (!lan.failure().empty()) {
        std::cerr << "bench_fleet: " << lan.failure() << "\n";
        return 77;
    }
    std::string failure;
    auto daemons = krvctl::e2e::startFleet(lan, controllers, failure);
    if (!daemons) {
        std::cerr << "bench_fleet: " << failure << "\n";
        return 1;
    }
    const SceneFigures figures = measureScene(lan.hubNamespace(), controllers, rounds);
    print("daemons", figures);
    return figures.failedRuns == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (geteuid() != 0) {
        std::cerr << "bench_fleet: needs root (network namespaces)\n";
        return 77;
    }
    const int controllers =
        std::clamp(krvbench::optionValue(argc, argv, "--controllers", 24), 1, 200);
    const int rounds = std::clamp(krvbench::optionValue(argc, argv, "--rounds", 3), 1, 20);
    const std::string scene = krvbench::optionText(argc, argv, "--scene");
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    std::printf("controllers: %d; rounds: %d\n", controllers, rounds);
    int status = 0;
    if (scene.empty() || scene == "both" || scene == "site") {
        status = std::max(status, siteScene(controllers, rounds));
    }
    if (scene.empty() || scene == "both" || scene == "daemons") {
        status = std::max(status, daemonScene(controllers, rounds));
    }
    return status;
}
