#include "krvctl/lan/Client.h"

#include <algorithm>

#include "krvctl/lan/ReplyMatching.h"
#include "krvctl/lan/Requests.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;
using std::chrono::steady_clock;

Client::Client(Endpoint& endpoint, Clock& clock, std::function<std::uint64_t()> random,
               Timing timing)
    : endpoint_(endpoint), clock_(clock), random_(std::move(random)), timing_(timing) {}

std::string Client::freshSeqid() {
    return seqidFrom(random_());
}

Client::ExchangeResult Client::exchange(const std::function<std::string()>& request,
                                        Command replyCommand, const std::string& seqid,
                                        const std::string& mac, const AnswerHandler& onAnswer) {
    const ReplyFilter filter{replyCommand, seqid, mac};
    const int attempts = std::max(timing_.retries, 0) + 1;
    const auto start = clock_.now();
    const auto end = start + timing_.timeout;
    ExchangeResult result;
    auto nextSend = start;
    // Bounded by the window: every turn either sends, or waits up to a deadline within it.
    while (!endpoint_.interrupted()) {
        const auto now = clock_.now();
        const bool silent = result.delivery != Delivery::Answered;
        if (silent && result.sent < attempts && now >= nextSend) {
            if (!endpoint_.broadcast(request(), result.problem)) {
                result.delivery = Delivery::NotSent;
                return result;
            }
            ++result.sent;
            // Each retry waits for half of what is left of the window: a controller that is
            // busy reading its state is likelier than a lost datagram, and every retry it
            // hears costs it another full read (and an ASSIGN another pause).
            nextSend = start + timing_.timeout - timing_.timeout / (1 << result.sent);
        }
        if (now >= end) {
            break;
        }
        const bool resendDue = silent && result.sent < attempts;
        const auto deadline = resendDue ? std::min(end, nextSend) : end;
        const auto datagram = endpoint_.receive(deadline);
        if (!datagram) {
            continue;
        }
        const DecodedDatagram decoded = decodeDatagram(datagram->bytes);
        if (!filter.accepts(decoded)) {
            continue;
        }
        result.delivery = Delivery::Answered;
        if (onAnswer(decoded, *datagram, clock_.wallMilliseconds())) {
            break;
        }
    }
    return result;
}

Discovery Client::discover() {
    const std::string seqid = freshSeqid();
    const auto start = clock_.now();
    Discovery discovery;
    ControllerSet found;
    const auto outcome = exchange(
        [&] { return queryRequest(seqid, ""); }, Command::Status, seqid, "",
        [&](const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
            auto record = recordFromStatus(reply, datagram.from, at);
            if (record && found.add(std::move(*record))) {
                discovery.lastNewReplyAfter =
                    std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - start);
            }
            return false;
        });
    discovery.delivery = outcome.delivery;
    discovery.problem = outcome.problem;
    discovery.requestsSent = outcome.sent;
    discovery.controllers = found.sorted();
    discovery.conflicts = found.conflicts();
    discovery.dropped = endpoint_.dropped();
    return discovery;
}

QueryAnswer Client::query(const std::string& mac) {
    const std::string seqid = freshSeqid();
    QueryAnswer answer;
    const auto outcome = exchange(
        [&] { return queryRequest(seqid, mac); }, Command::Status, seqid, mac,
        [&](const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
            answer.record = recordFromStatus(reply, datagram.from, at);
            return true;
        });
    answer.delivery = outcome.delivery;
    answer.problem = outcome.problem;
    return answer;
}

AckAnswer Client::awaitAck(const std::function<std::string()>& request, const std::string& seqid,
                           const std::string& mac) {
    AckAnswer answer;
    const auto outcome = exchange(
        request, Command::Ack, seqid, mac,
        [&](const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
            answer.accepted = *reply.find(wire::key::kAccept) == wire::kAcceptYes;
            answer.from = datagram.from;
            answer.receivedAtMs = at;
            return true;
        });
    answer.delivery = outcome.delivery;
    answer.problem = outcome.problem;
    return answer;
}

AckAnswer Client::assign(const std::string& mac, const Assignment& assignment) {
    const std::string seqid = freshSeqid();
    std::string sentClock;
    // Each attempt reads the clock anew, so a retried "now" is not a stale one.
    AckAnswer answer = awaitAck(
        [&] {
            const std::int64_t nowSeconds = clock_.wallMilliseconds() / 1000;
            if (const std::string* clock = assignment.find(wire::key::kUtcclock)) {
                sentClock = wireValue({std::string(wire::key::kUtcclock), *clock}, nowSeconds);
            }
            return assignRequest(seqid, mac, assignment, nowSeconds);
        },
        seqid, mac);
    answer.sentClock = sentClock;
    return answer;
}

AckAnswer Client::clear(const std::string& mac, const std::string& setting) {
    const std::string seqid = freshSeqid();
    return awaitAck([&] { return clearRequest(seqid, mac, setting); }, seqid, mac);
}

void Client::waitOutAssignPause() {
    clock_.sleepUntil(clock_.now() + std::chrono::seconds(wire::kPauseAfterAssignSeconds));
}

void Client::monitor(const std::function<void(const MonitoredDatagram&)>& onDatagram,
                     std::optional<std::size_t> count,
                     std::optional<steady_clock::time_point> until) {
    std::size_t seen = 0;
    const auto forever = steady_clock::time_point::max();
    while (!endpoint_.interrupted() && (!count || seen < *count)) {
        const auto deadline = until.value_or(forever);
        if (until && clock_.now() >= deadline) {
            return;
        }
        auto datagram = endpoint_.receive(deadline);
        if (!datagram) {
            continue;
        }
        ++seen;
        MonitoredDatagram monitored{std::move(*datagram), {}, clock_.wallMilliseconds()};
        monitored.decoded = decodeDatagram(monitored.datagram.bytes);
        onDatagram(monitored);
    }
}

}  // namespace krvctl
