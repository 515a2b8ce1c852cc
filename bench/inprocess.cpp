// In-process costs: one datagram through the dispatcher for the kinds a flood is made of, the
// parse of a full ASSIGN, and tapsim's line evaluation. Output goes nowhere; syslog is quiet.

#include <arpa/inet.h>
#include <benchmark/benchmark.h>

#include <iostream>
#include <memory>
#include <string>

#include "krvctl/lan/ReplyMatching.h"
#include "krvd/core/MessageDispatcher.h"
#include "protocol/DatagramParser.h"
#include "tapsim/LineEvaluator.h"
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

BENCHMARK(Junk);
BENCHMARK(OtherControllersStatus);
BENCHMARK(QueryForAnotherMac);
BENCHMARK(ParseOfAFullAssign);
BENCHMARK(TapsimLines);
BENCHMARK(KrvctlStatusReply);

}  // namespace

BENCHMARK_MAIN();
