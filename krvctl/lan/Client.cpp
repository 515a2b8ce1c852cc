#include "krvctl/lan/Client.h"

#include <set>

#include <algorithm>

#include "krvctl/lan/Requests.h"
#include "krvctl/values/MacAddress.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

namespace {

AckAnswer ackOf(const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
    AckAnswer answer;
    answer.delivery = Delivery::Answered;
    answer.accepted = *reply.find(wire::key::kAccept) == wire::kAcceptYes;
    answer.from = datagram.from;
    answer.receivedAtMs = at;
    return answer;
}

}  // namespace

std::chrono::milliseconds patienceFor(std::chrono::milliseconds answeredAfter) {
    // Twice its answer time and a margin for the load to grow; a quiet controller's stays below
    // the usual schedule, which then decides.
    return answeredAfter <= std::chrono::milliseconds(0)
               ? std::chrono::milliseconds(0)
               : 2 * answeredAfter + std::chrono::milliseconds(500);
}

Client::Attempts::Attempts(steady_clock::time_point start, const Timing& timing)
    : start_(start),
      timeout_(std::max(timing.timeout, timing.patience * (std::max(timing.retries, 0) + 1))),
      longest_(timeout_),
      patience_(timing.patience),
      allowed_(std::max(timing.retries, 0) + 1),
      nextSend_(start) {}

bool Client::Attempts::sendDue(steady_clock::time_point now, bool answered) const {
    return !answered && sent_ < allowed_ && now >= nextSend_;
}

void Client::Attempts::sent() {
    ++sent_;
    // Each retry waits for half of what is left of the window: a controller that is busy
    // reading its state is likelier than a lost datagram, and every retry it hears costs it
    // another full read (and an ASSIGN another pause).
    const auto now = std::max(start_, nextSend_);
    nextSend_ = std::max(start_ + timeout_ - timeout_ / (1 << sent_), now + patience_);
}

steady_clock::time_point Client::Attempts::wakeAt(bool answered) const {
    const bool resendDue = !answered && sent_ < allowed_;
    return resendDue ? std::min(end(), nextSend_) : end();
}

Client::Client(Endpoint& endpoint, Clock& clock, std::function<std::uint64_t()> random,
               Timing timing)
    : endpoint_(endpoint), clock_(clock), random_(std::move(random)), timing_(timing) {}

std::string Client::freshSeqid() {
    return seqidFrom(random_());
}

void Client::learnInterface(const std::string& mac, const ReceivedDatagram& datagram) {
    if (mac.empty() || datagram.interface.empty()) {
        return;
    }
    const auto known = interfaceOfMac_.find(mac);
    if (known != interfaceOfMac_.end()) {
        known->second = datagram.interface;
    } else if (interfaceOfMac_.size() < kInterfacesRemembered) {
        interfaceOfMac_.emplace(mac, datagram.interface);
    }
}

std::string Client::interfaceFor(const std::string& mac) const {
    const auto known = interfaceOfMac_.find(mac);
    if (known == interfaceOfMac_.end()) {
        return {};
    }
    const std::vector<std::string> searched = endpoint_.interfaces();
    const bool stillSearched =
        std::find(searched.begin(), searched.end(), known->second) != searched.end();
    return stillSearched ? known->second : std::string();
}

Client::ExchangeResult Client::exchange(const std::function<std::string()>& request,
                                        Command replyCommand, const std::string& seqid,
                                        const std::string& mac, const AnswerHandler& onAnswer,
                                        const steady_clock::time_point* endBy,
                                        const Timing* timing) {
    const ReplyFilter filter{replyCommand, seqid, mac};
    const std::string interface = interfaceFor(mac);
    Attempts attempts(clock_.now(), timing != nullptr ? *timing : timing_);
    ExchangeResult result;
    // Bounded by the window: every turn either sends, or waits up to a deadline within it.
    while (!endpoint_.interrupted()) {
        const auto now = clock_.now();
        if (endBy != nullptr && *endBy != steady_clock::time_point::max()) {
            attempts.endBy(*endBy);
        }
        const bool answered = result.delivery == Delivery::Answered;
        if (attempts.sendDue(now, answered)) {
            if (!endpoint_.broadcast(request(), result.problem, interface)) {
                result.delivery = Delivery::NotSent;
                return result;
            }
            attempts.sent();
            result.sent = attempts.count();
        }
        if (now >= attempts.end()) {
            break;
        }
        const auto datagram = endpoint_.receive(attempts.wakeAt(answered));
        if (!datagram) {
            continue;
        }
        const DecodedDatagram decoded = decodeDatagram(datagram->bytes);
        if (!filter.accepts(decoded)) {
            continue;
        }
        result.delivery = Delivery::Answered;
        if (const std::string* replyMac = decoded.find(wire::key::kMac)) {
            learnInterface(*replyMac, *datagram);
        }
        if (onAnswer(decoded, *datagram, clock_.wallMilliseconds())) {
            break;
        }
    }
    return result;
}

Discovery Client::discover() {
    return discoverUntil(nullptr);
}

Discovery Client::discover(const std::vector<std::string>& expected) {
    return discoverUntil(&expected);
}

Discovery Client::discoverUntil(const std::vector<std::string>* expected) {
    const std::string seqid = freshSeqid();
    const auto start = clock_.now();
    Discovery discovery;
    discovery.searched = endpoint_.interfaces();
    ControllerSet found;
    std::set<std::string> awaited;
    bool finished = false;  // every expected controller has answered
    if (expected != nullptr) {
        awaited.insert(expected->begin(), expected->end());
    }
    auto endBy = steady_clock::time_point::max();
    Timing timing = timing_;
    if (expected != nullptr) {
        // A planned controller not heard yet is likelier slow than gone: three windows at the
        // least, and on while new ones keep answering. A LAN where nothing has answered yet
        // may be one of controllers all reading their state at once: up to ten windows.
        timing.timeout = 10 * timing_.timeout;
    }
    const auto outcome = exchange(
        [&] { return queryRequest(seqid, ""); }, Command::Status, seqid, "",
        [&](const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
            auto record = recordFromStatus(reply, datagram.from, at, datagram.interface);
            const auto after =
                std::chrono::duration_cast<std::chrono::milliseconds>(clock_.now() - start);
            if (!record) {
                ++discovery.setApart;
                return false;
            }
            record->answeredAfter = after;
            if (const auto mac = normalizeMac(record->mac)) {
                awaited.erase(mac.value());
            }
            const bool isNew = found.add(std::move(*record));
            if (isNew) {
                discovery.lastNewReplyAfter = after;
            }
            if (expected == nullptr || finished) {
                return false;
            }
            if (awaited.empty()) {
                // A short grace for controllers on the LAN the plan does not name: they are
                // only reported, and a no-op apply should not wait as long again for them.
                finished = true;
                const auto grace =
                    std::clamp(std::chrono::duration_cast<milliseconds>(after / 4),
                               milliseconds(500), std::max(milliseconds(500), timing_.timeout));
                endBy = clock_.now() + grace;
            } else if (isNew) {
                const auto atLeast = found.size() == 1 ? start + 3 * timing_.timeout : endBy;
                endBy = std::max(atLeast, clock_.now() + timing_.timeout);
            }
            return false;
        },
        &endBy, &timing);
    discovery.delivery = outcome.delivery;
    discovery.problem = outcome.problem;
    discovery.requestsSent = outcome.sent;
    discovery.controllers = found.sorted();
    discovery.conflicts = found.conflicts();
    discovery.conflictedMacs = found.conflictedMacs();
    discovery.conflictedInterfaces = found.conflictedInterfaces();
    discovery.dropped = endpoint_.dropped();
    return discovery;
}

QueryAnswer Client::query(const std::string& mac) {
    const std::string seqid = freshSeqid();
    QueryAnswer answer;
    const auto outcome = exchange(
        [&] { return queryRequest(seqid, mac); }, Command::Status, seqid, mac,
        [&](const DecodedDatagram& reply, const ReceivedDatagram& datagram, std::int64_t at) {
            answer.record = recordFromStatus(reply, datagram.from, at, datagram.interface);
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
            answer = ackOf(reply, datagram, at);
            return true;
        });
    answer.delivery = outcome.delivery;
    answer.problem = outcome.problem;
    return answer;
}

std::function<std::string()> Client::assignRequestOf(const std::string& seqid,
                                                     const std::string& mac,
                                                     const Assignment& assignment,
                                                     std::shared_ptr<std::string> sentClock) {
    // Each attempt reads the clock anew, so a retried "now" is not a stale one.
    return [this, seqid, mac, assignment, sentClock] {
        const std::int64_t nowSeconds = clock_.wallMilliseconds() / 1000;
        if (const std::string* clock = assignment.find(wire::key::kUtcclock)) {
            *sentClock = wireValue({std::string(wire::key::kUtcclock), *clock}, nowSeconds);
        }
        return assignRequest(seqid, mac, assignment, nowSeconds);
    };
}

AckAnswer Client::assign(const std::string& mac, const Assignment& assignment) {
    const std::string seqid = freshSeqid();
    const auto sentClock = std::make_shared<std::string>();
    AckAnswer answer = awaitAck(assignRequestOf(seqid, mac, assignment, sentClock), seqid, mac);
    answer.sentClock = *sentClock;
    return answer;
}

AckAnswer Client::clear(const std::string& mac, const std::string& setting) {
    const std::string seqid = freshSeqid();
    return awaitAck([&] { return clearRequest(seqid, mac, setting); }, seqid, mac);
}

void Client::waitOutAssignPause() {
    clock_.sleepUntil(clock_.now() + std::chrono::seconds(wire::kPauseAfterAssignSeconds));
}

std::uint64_t Client::begin(std::function<std::string()> request, Command replyCommand,
                            const std::string& seqid, const std::string& mac,
                            std::shared_ptr<std::string> sentClock, const Timing& timing) {
    const std::uint64_t ticket = ++lastTicket_;
    inFlight_.emplace(
        ticket, Begun{ticket, std::move(request), ReplyFilter{replyCommand, seqid, mac},
                      Attempts(clock_.now(), timing), std::move(sentClock), interfaceFor(mac)});
    ticketOfSeqid_.emplace(seqid, ticket);
    return ticket;
}

std::uint64_t Client::beginQuery(const std::string& mac,
                                 std::optional<std::chrono::milliseconds> window,
                                 std::chrono::milliseconds patience) {
    const std::string seqid = freshSeqid();
    Timing timing = timing_;
    timing.timeout = window.value_or(timing_.timeout);
    timing.patience = std::max(timing.patience, patience);
    return begin([seqid, mac] { return queryRequest(seqid, mac); }, Command::Status, seqid, mac,
                 nullptr, timing);
}

std::uint64_t Client::beginAssign(const std::string& mac, const Assignment& assignment,
                                  std::chrono::milliseconds patience) {
    const std::string seqid = freshSeqid();
    auto sentClock = std::make_shared<std::string>();
    Timing timing = timing_;
    timing.patience = std::max(timing.patience, patience);
    return begin(assignRequestOf(seqid, mac, assignment, sentClock), Command::Ack, seqid, mac,
                 sentClock, timing);
}

std::uint64_t Client::beginClear(const std::string& mac, const std::string& setting,
                                 std::chrono::milliseconds patience) {
    const std::string seqid = freshSeqid();
    Timing timing = timing_;
    timing.patience = std::max(timing.patience, patience);
    return begin([seqid, mac, setting] { return clearRequest(seqid, mac, setting); }, Command::Ack,
                 seqid, mac, nullptr, timing);
}

std::vector<Answer> Client::awaitAnswers(steady_clock::time_point until) {
    std::vector<Answer> ended;
    const auto end = [&](std::map<std::uint64_t, Begun>::iterator begun, Answer answer) {
        answer.ticket = begun->second.ticket;
        answer.sent = begun->second.attempts.count();
        answer.ack.delivery = answer.delivery;
        answer.ack.problem = answer.problem;
        if (begun->second.sentClock) {
            answer.ack.sentClock = *begun->second.sentClock;
        }
        ended.push_back(std::move(answer));
        ticketOfSeqid_.erase(begun->second.filter.seqid);
        return inFlight_.erase(begun);
    };
    // Bounded: every turn sends, ends a request, or waits up to the earliest deadline, and every
    // request ends with its window.
    while (!endpoint_.interrupted()) {
        const auto now = clock_.now();
        auto wake = until;
        for (auto begun = inFlight_.begin(); begun != inFlight_.end();) {
            Attempts& attempts = begun->second.attempts;
            if (attempts.sendDue(now, false)) {
                Answer failed;
                failed.delivery = Delivery::NotSent;
                if (!endpoint_.broadcast(begun->second.request(), failed.problem,
                                         begun->second.interface)) {
                    begun = end(begun, std::move(failed));
                    continue;
                }
                attempts.sent();
            }
            if (now >= attempts.end()) {
                begun = end(begun, Answer{});
                continue;
            }
            wake = std::min(wake, attempts.wakeAt(false));
            ++begun;
        }
        if (!ended.empty() || now >= until) {
            break;
        }
        const auto datagram = endpoint_.receive(wake);
        if (!datagram) {
            continue;
        }
        const DecodedDatagram decoded = decodeDatagram(datagram->bytes);
        const std::string* seqid = decoded.find(wire::key::kSeqid);
        const auto ticket = seqid == nullptr ? ticketOfSeqid_.end() : ticketOfSeqid_.find(*seqid);
        if (ticket == ticketOfSeqid_.end()) {
            continue;
        }
        const auto begun = inFlight_.find(ticket->second);
        if (!begun->second.filter.accepts(decoded)) {
            continue;
        }
        learnInterface(begun->second.filter.mac, *datagram);
        Answer answer;
        answer.delivery = Delivery::Answered;
        const std::int64_t at = clock_.wallMilliseconds();
        if (begun->second.filter.command == Command::Status) {
            answer.record = recordFromStatus(decoded, datagram->from, at, datagram->interface);
        } else {
            answer.ack = ackOf(decoded, *datagram, at);
        }
        end(begun, std::move(answer));
    }
    return ended;
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
