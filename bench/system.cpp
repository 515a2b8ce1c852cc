// The real daemon in its namespaces on the simulated imx controller, measured against floors
// run side by side in the same lab:
//   - QUERY round trip against the same command lines run one after another by sh -c;
//   - the daemon's own CPU per QUERY against that of the commands it runs;
//   - CPU per junk datagram of a flood against bench_plain_loop, alternating rounds;
//   - private dirty and resident memory at idle and after the soak.
// Needs root (namespaces). Prints one "figure: value" line per result.
//   bench_system [--queries N] [--flood N] [--rounds N] [--krvd PATH]
// --krvd runs another krvd binary (an older build, for a comparison).
//   bench_system --floor LINES-FILE ROUNDS RESULT-FILE     (used internally, on the controller)

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchOptions.h"
#include "bench/QueryLines.h"
#include "tests/core/e2e/NetworkLab.h"
#include "tests/core/e2e/ProcessProbe.h"
#include "tests/core/e2e/Soak.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

using namespace krvd::e2e;
using Clock = std::chrono::steady_clock;
using krvbench::median;
using krvbench::optionText;
using krvbench::optionValue;

pid_t spawnTo(const std::vector<std::string>& argv, const std::string& out) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::vector<char*> pointers;
    for (const auto& argument : argv) {
        pointers.push_back(const_cast<char*>(argument.c_str()));
    }
    pointers.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

// On the controller: the lines one after another, each by sh -c, its output read to the end;
// one line of seconds per round into resultFile.
int runFloor(const std::string& linesFile, int rounds, const std::string& resultFile) {
    std::vector<std::string> lines;
    std::ifstream input(linesFile);
    for (std::string line; std::getline(input, line);) {
        lines.push_back(line);
    }
    std::ofstream result(resultFile);
    for (int round = 0; round < rounds; ++round) {
        const auto start = Clock::now();
        if (!krvbench::runCommandLines(lines)) {
            return 1;
        }
        result << std::chrono::duration<double>(Clock::now() - start).count() << "\n";
    }
    return 0;
}

struct QueryFigures {
    double roundTrip = 0;
    double floor = 0;
    // The quickest of each: what is left when the machine's other load stays away.
    double fastestRoundTrip = 0;
    double fastestFloor = 0;
    double ownCpu = 0;
    double commandsCpu = 0;
};

// Daemon round trips and floor rounds alternate in blocks, so that a busy moment of the
// machine weighs on both alike.
QueryFigures measureQueries(const NetworkLab& lab, Peer& peer, Daemon& daemon, int queries) {
    constexpr int kBlocks = 4;
    QueryFigures figures;
    peer.broadcast("KRV2#QUERY#seqid=warm");
    peer.receive("KRV2#STATUS#seqid=warm#", std::chrono::seconds(20));

    krvtest::TempDir dir;
    std::ofstream linesFile(dir.file("lines"));
    for (const auto& line : krvbench::queryCommandLines()) {
        linesFile << line << "\n";
    }
    linesFile.close();
    const std::string self = std::string(KRV_BINARY_DIR) + "/bench/bench_system";

    std::vector<double> trips;
    std::vector<double> floors;
    std::uint64_t own = 0;
    std::uint64_t children = 0;
    for (int block = 0; block < kBlocks; ++block) {
        const auto ownBefore = ownCpuNanoseconds(daemon.pid());
        const auto childrenBefore = childrenCpuNanoseconds(daemon.pid());
        for (int i = 0; i < queries / kBlocks; ++i) {
            const std::string seqid = "b" + std::to_string(block) + "-" + std::to_string(i);
            const auto start = Clock::now();
            peer.broadcast("KRV2#QUERY#seqid=" + seqid);
            if (peer.receive("KRV2#STATUS#seqid=" + seqid + "#", std::chrono::seconds(20))) {
                trips.push_back(std::chrono::duration<double>(Clock::now() - start).count());
            }
        }
        own += ownCpuNanoseconds(daemon.pid()) - ownBefore;
        children += childrenCpuNanoseconds(daemon.pid()) - childrenBefore;
        runQuietly({"ip", "netns", "exec", lab.controllerNamespace(),
                    KRV_SOURCE_DIR "/sim/run-on-sim-controller", "--state",
                    daemon.workDir() + "/state", "--hostname", "ctl-e2e", "--", self, "--floor",
                    dir.file("lines"), std::to_string(queries / kBlocks), dir.file("result")});
        std::ifstream result(dir.file("result"));
        for (double seconds = 0; result >> seconds;) {
            floors.push_back(seconds);
        }
    }
    for (const auto* series : {&trips, &floors}) {
        std::fprintf(stderr, series == &trips ? "round trips:" : "floor rounds:");
        for (const double seconds : *series) {
            std::fprintf(stderr, " %.0f", seconds * 1e3);
        }
        std::fprintf(stderr, " ms\n");
    }
    figures.roundTrip = median(trips);
    figures.floor = median(floors);
    figures.fastestRoundTrip = *std::min_element(trips.begin(), trips.end());
    figures.fastestFloor = *std::min_element(floors.begin(), floors.end());
    figures.ownCpu = static_cast<double>(own) / static_cast<double>(trips.size());
    figures.commandsCpu = static_cast<double>(children) / static_cast<double>(trips.size());
    return figures;
}

// CPU per handled datagram of the receiver under a flood of junk sent as fast as the peer can:
// its queue never empties for long, and what overflows it is dropped by the kernel (counted,
// and not charged to the receiver).
double floodCpuPerDatagram(pid_t receiver, Peer& peer, std::size_t count) {
    const std::string junk = "junk that is no datagram of the protocol at all, 64 bytes long....";
    const long dropsBefore = udpSocketState(receiver, 7217).drops;
    const auto before = ownCpuNanoseconds(receiver);
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    for (std::size_t n = 0; n < count; ++n) {
        peer.sendToController(junk);
    }
    while (udpSocketState(receiver, 7217).queuedBytes > 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const auto used = ownCpuNanoseconds(receiver) - before;
    const long dropped = udpSocketState(receiver, 7217).drops - dropsBefore;
    const auto handled = static_cast<double>(count) - static_cast<double>(dropped);
    std::fprintf(stderr, "flood: %zu sent, %ld dropped by the kernel\n", count, dropped);
    return static_cast<double>(used) / handled;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 5 && std::string(argv[1]) == "--floor") {
        return runFloor(argv[2], std::atoi(argv[3]), argv[4]);
    }
    const int queries = optionValue(argc, argv, "--queries", 20);
    const int floodCount = optionValue(argc, argv, "--flood", 200000);
    const int rounds = optionValue(argc, argv, "--rounds", 3);
    const Daemon::Options options{.program = optionText(argc, argv, "--krvd")};

    NetworkLab lab(NetworkLab::Side::Bridge);
    if (!lab.failure().empty()) {
        std::cerr << "bench_system: " << lab.failure() << "\n";
        return 77;
    }
    Peer peer(lab);

    std::vector<double> plain;
    std::vector<double> daemonFlood;
    for (int round = 0; round < rounds; ++round) {
        krvtest::TempDir dir;
        const pid_t loop = spawnTo({"ip", "netns", "exec", lab.controllerNamespace(),
                                    std::string(KRV_BINARY_DIR) + "/bench/bench_plain_loop"},
                                   dir.file("out"));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        plain.push_back(floodCpuPerDatagram(loop, peer, static_cast<std::size_t>(floodCount)));
        kill(loop, SIGTERM);
        waitpid(loop, nullptr, 0);

        Daemon daemon(lab, options);
        if (!daemon.start()) {
            std::cerr << "bench_system: " << daemon.failure() << "\n";
            return 1;
        }
        daemonFlood.push_back(
            floodCpuPerDatagram(daemon.pid(), peer, static_cast<std::size_t>(floodCount)));
    }

    Daemon daemon(lab, options);
    if (!daemon.start()) {
        std::cerr << "bench_system: " << daemon.failure() << "\n";
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const MemorySample idle = sampleMemory(daemon.pid());
    const QueryFigures query = measureQueries(lab, peer, daemon, queries);
    const SoakFigures soak = runSoak(peer, daemon, SoakPlan{});

    std::printf("flood_plain_loop_ns_per_datagram: %.0f\n", median(plain));
    std::printf("flood_krvd_ns_per_datagram: %.0f\n", median(daemonFlood));
    std::printf("flood_ratio: %.2f (goal <= 1.25)\n", median(daemonFlood) / median(plain));
    std::printf("query_round_trip_ms: %.1f\n", query.roundTrip * 1e3);
    std::printf("query_floor_ms: %.1f\n", query.floor * 1e3);
    std::printf("query_ratio: %.3f (goal <= 1.05)\n", query.roundTrip / query.floor);
    std::printf("query_fastest_round_trip_ms: %.1f, fastest_floor_ms: %.1f, ratio %.3f\n",
                query.fastestRoundTrip * 1e3, query.fastestFloor * 1e3,
                query.fastestRoundTrip / query.fastestFloor);
    std::printf("query_krvd_cpu_ms: %.2f\n", query.ownCpu / 1e6);
    std::printf("query_commands_cpu_ms: %.1f\n", query.commandsCpu / 1e6);
    std::printf("query_cpu_share: %.1f %% (goal <= 5 %%)\n",
                100 * query.ownCpu / query.commandsCpu);
    std::printf("private_dirty_kib_idle: %ld\n", idle.privateDirtyKiB);
    std::printf("private_dirty_kib_after_soak: %ld (goal <= 256, flat)\n",
                soak.end.privateDirtyKiB);
    std::printf("resident_kib_idle: %ld\n", idle.residentKiB);
    std::printf("resident_kib_after_soak: %ld\n", soak.end.residentKiB);
    std::printf("soak: %s", describe(soak).c_str());
    return 0;
}
