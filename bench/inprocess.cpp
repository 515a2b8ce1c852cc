// In-process costs: one datagram through the dispatcher for the kinds a flood is made of, the
// parse of a full ASSIGN, tapsim's line evaluation, and krvctl's plan and apply of a fleet on
// the in-memory LAN. Output goes nowhere; syslog is quiet.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <iostream>
#include <memory>
#include <string>

#include "krvctl/fleet/Apply.h"
#include "krvctl/lan/ReplyMatching.h"
#include "krvd/core/MessageDispatcher.h"
#include "protocol/DatagramParser.h"
#include "tapsim/LineEvaluator.h"
#include "tests/krvctl/support/FakeController.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/RecordingSockets.h"
#include "tests/support/TempDir.h"

namespace {

class Discard final : public std::streambuf {
  protected:
    int overflow(int c) override { return c == EOF ? 0 : c; }
    std::streamsize xsputn(const char*, std::streamsize count) override { return count; }
};

// Standard output swapped for a sink while it lives.
class Silence {
  public:
    Silence() : previous_(std::cout.rdbuf(&discard_)) {}
    ~Silence() { std::cout.rdbuf(previous_); }
    Silence(const Silence&) = delete;
    Silence& operator=(const Silence&) = delete;

  private:
    Discard discard_;
    std::streambuf* previous_;
};

struct Daemon {
    krvtest::QuietSyslog quiet;
    krvtest::TempDir dir;
    krvtest::FakeShell shell;
    krvtest::FakeInterfaceLister interfaces;
    krvtest::RecordingSleeper sleeper;
    krvtest::RecordingSockets sockets;
    std::unique_ptr<krvd::MessageDispatcher> dispatcher;

    Daemon() {
        shell.answer("trelsetup getsdk", "imx\n");
        shell.answer("trelsetup getmacaddr", "02:00:00:4B:10:01\n");
        Silence silence;
        dispatcher = std::make_unique<krvd::MessageDispatcher>(
            7217,
            krvd::DaemonEnvironment{shell, interfaces, sleeper, sockets, dir.controllerPaths()});
    }
};

void perDatagram(benchmark::State& state, const std::string& datagram) {
    Daemon daemon;
    Silence silence;
    const std::uint32_t sender = inet_addr("192.0.2.20");
    for (auto _ : state) {
        daemon.dispatcher->onMessage(datagram.data(), static_cast<std::int64_t>(datagram.size()),
                                     sender);
    }
}

void Junk(benchmark::State& state) {
    perDatagram(state, "junk that is no datagram of the protocol at all, 64 bytes long....");
}
void OtherControllersStatus(benchmark::State& state) {
    perDatagram(state,
                "KRV2#STATUS#seqid=17#mac=02:00:00:00:00:99#ip=192.0.2.99#netmask=255.255.255.0"
                "#gateway=192.0.2.1#hostname=ctl#ipscheme=STATIC#ntpsync=no#sdusage=n/a"
                "#utcclock=20261208120000#displaytime=");
}
void QueryForAnotherMac(benchmark::State& state) {
    perDatagram(state, "KRV2#QUERY#seqid=17#mac=02:00:00:00:00:99");
}

void ParseOfAFullAssign(benchmark::State& state) {
    const std::string datagram =
        "KRV2#ASSIGN#seqid=40#mac=02:00:00:4b:10:01#ip=192.0.2.10#netmask=255.255.255.0"
        "#gateway=192.0.2.1#ipscheme=STATIC#ntpip=192.0.2.123#syslogip=192.0.2.50"
        "#nameserver=192.0.2.53#utcclock=20261224183000";
    for (auto _ : state) {
        krv::SetupMessage message;
        const krv::SplitResult head = krv::splitFirst(datagram, '#');
        const krv::SplitResult word = krv::splitFirst(head.tail, '#');
        const krv::SplitResult seqid = krv::splitFirst(word.tail, '#');
        const krv::SplitResult mac = krv::splitFirst(seqid.tail, '#');
        const bool parsed = krv::checkHeader(head.head) && krv::parseSeqid(seqid.head, message) &&
                            krv::parseMac(mac.head, message) &&
                            krv::parseAssignments(mac.tail, message);
        benchmark::DoNotOptimize(parsed);
        benchmark::DoNotOptimize(message);
    }
}

class NullWriter final : public tapsim::EventWriter {
  public:
    int writeEvent(unsigned int, unsigned int, int) override { return 0; }
};

void TapsimLines(benchmark::State& state) {
    std::string batch;
    for (int i = 0; i < 64; ++i) {
        batch += std::to_string(100 + i) + " " + std::to_string(200 + i) + " " +
                 std::to_string(i % 4 == 3 ? 0 : 50) + "\n";
    }
    Discard discard;
    std::ostream out(&discard);
    std::ostream err(&discard);
    tapsim::Console console{out, err};
    NullWriter writer;
    tapsim::TouchSession session;
    for (auto _ : state) {
        tapsim::evaluate_batch(batch, session, writer, console);
    }
    state.SetItemsProcessed(state.iterations() * 64);
}

// What krvctl does with each reply of a storm: decode it, make the controller's record and
// keep it once by MAC. A thousand replies cost a thousand times this.
void KrvctlStatusReply(benchmark::State& state) {
    const std::string reply =
        "KRV2#STATUS#seqid=00000000000000ab#mac=02:00:00:4B:10:01#ip=192.0.2.10"
        "#netmask=255.255.255.0#gateway=192.0.2.1#hostname=ctl#ipscheme=STATIC"
        "#ntpip=192.0.2.123#controller=KRV-800#housenames=North;South#syslogip=192.0.2.50"
        "#nameserver=192.0.2.53#ntpsync=yes#sdusage=37%#sdkversion=5.4.2"
        "#mac1=02:00:00:4B:10:02#mac2=02:00:00:4B:10:03#uptime=12.3 4.5"
        "#loadavg=0.1 0.2 0.3 1/2 3#utcclock=20261208120000#displaytime=";
    const krvctl::ReplyFilter filter{krvctl::Command::Status, "00000000000000ab", ""};
    for (auto _ : state) {
        krvctl::ControllerSet found;
        const krvctl::DecodedDatagram decoded = krvctl::decodeDatagram(reply);
        if (filter.accepts(decoded)) {
            found.add(*krvctl::recordFromStatus(decoded, "192.0.2.10", 1796731200000));
        }
        benchmark::DoNotOptimize(found.size());
    }
}

// A fleet planned and applied against the in-memory LAN (its controllers pause after an ASSIGN,
// on a clock that only moves when waited on): a new time server and a cleared syslog server
// for each, eight at once. Reports whether anything was lost, and the heap the plan and the
// report hold per controller, which stays flat when memory grows linearly with the fleet.
void KrvctlPlanAndApplyFleet(benchmark::State& state) {
    const int size = static_cast<int>(state.range(0));
    std::size_t ok = 0;
    double bytesPerController = 0;
    for (auto _ : state) {
        state.PauseTiming();
        krvctl::test::FakeClock clock;
        krvctl::test::FakeFleet fleet(clock);
        std::string csv = "mac,ntpip,syslogip,site\n";
        for (int i = 0; i < size; ++i) {
            krvctl::test::FakeController controller;
            char mac[32];
            std::snprintf(mac, sizeof mac, "02:00:00:4B:%02X:%02X", i / 256, i % 256);
            controller.mac = mac;
            controller.from = "10.0." + std::to_string(i / 250) + "." + std::to_string(i % 250 + 1);
            controller.values["ip"] = controller.from;
            controller.pausesAfterAssign = true;
            fleet.add(controller);
            csv += std::string(mac) + ",192.0.2.124,-,house " + std::to_string(i) + "\n";
        }
        krvctl::test::FakeEndpoint endpoint(clock, fleet.responder());
        krvctl::Client client(endpoint, clock, krvctl::test::countingRandom(),
                              krvctl::Timing{std::chrono::milliseconds(3000), 2});
        const std::size_t heapBefore = mallinfo2().uordblks;
        state.ResumeTiming();
        const krvctl::Plan plan =
            krvctl::makePlan(krvctl::readPlanFile("plan.csv", csv), client.discover());
        const krvctl::ApplyReport report = krvctl::applyPlan(client, plan, {});
        state.PauseTiming();
        bytesPerController =
            static_cast<double>(mallinfo2().uordblks - heapBefore) / static_cast<double>(size);
        ok = static_cast<std::size_t>(
            std::count_if(report.controllers.begin(), report.controllers.end(),
                          [](const auto& c) { return c.outcome == krvctl::Outcome::Ok; }));
        state.ResumeTiming();
    }
    state.counters["lost"] = static_cast<double>(static_cast<std::size_t>(size) - ok);
    state.counters["heap_bytes_per_controller"] = bytesPerController;
    state.SetItemsProcessed(state.iterations() * size);
}

BENCHMARK(Junk);
BENCHMARK(OtherControllersStatus);
BENCHMARK(QueryForAnotherMac);
BENCHMARK(ParseOfAFullAssign);
BENCHMARK(TapsimLines);
BENCHMARK(KrvctlStatusReply);
BENCHMARK(KrvctlPlanAndApplyFleet)->Arg(250)->Arg(1000)->Arg(4000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
