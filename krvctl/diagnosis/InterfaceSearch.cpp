#include "krvctl/diagnosis/InterfaceSearch.h"

#include <algorithm>
#include <memory>

#include "krvctl/lan/ReplyMatching.h"
#include "krvctl/lan/Requests.h"

namespace krvctl {

namespace {

using std::chrono::steady_clock;

// One interface's socket is waited on for at most this long while the others' replies queue in
// their own buffers.
constexpr std::chrono::milliseconds kTurn{20};
// Datagrams taken from one socket in a turn before the next gets its share.
constexpr int kDatagramsPerTurn = 4096;

struct Searching {
    InterfaceSearch result;
    std::unique_ptr<Endpoint> endpoint;
    std::string seqid;
    ControllerSet found;
    int allowedSends = 1;
    steady_clock::time_point nextSend;
};

void take(Searching& search, const ReceivedDatagram& datagram, std::int64_t wallMs) {
    const DecodedDatagram decoded = decodeDatagram(datagram.bytes);
    const std::string* seqid = decoded.find("seqid");
    if (!decoded.isSetupDatagram || seqid == nullptr || *seqid != search.seqid) {
        return;  // other tools' traffic and the answers to it
    }
    if (decoded.command == Command::Query) {
        search.result.ownQueryCameBack = true;
        return;
    }
    if (!ReplyFilter{Command::Status, search.seqid, ""}.accepts(decoded)) {
        return;
    }
    auto record = recordFromStatus(decoded, datagram.from, wallMs);
    if (!record) {
        ++search.result.setApart;
    } else if (search.found.size() >= kMostControllersPerInterface) {
        ++search.result.notKept;
    } else {
        search.found.add(std::move(*record));
    }
}

// Everything already queued on the socket, and what arrives until the deadline.
void drain(Searching& search, steady_clock::time_point deadline, Clock& clock) {
    for (int taken = 0; taken < kDatagramsPerTurn; ++taken) {
        const auto datagram = search.endpoint->receive(deadline);
        if (!datagram) {
            return;
        }
        take(search, *datagram, clock.wallMilliseconds());
    }
}

}  // namespace

std::vector<InterfaceSearch> searchInterfaces(
    const std::vector<std::string>& interfaces,
    const std::function<OpenedEndpoint(const std::string& interface)>& open, Clock& clock,
    const std::function<std::uint64_t()>& random, const Timing& timing) {
    std::vector<Searching> searches;
    const auto start = clock.now();
    for (const std::string& interface : interfaces) {
        Searching& search = searches.emplace_back();
        search.result.interface = interface;
        OpenedEndpoint opened = open(interface);
        if (!opened.endpoint) {
            search.result.openFailure = opened.failure;
            search.result.openProblem = opened.problem;
            continue;
        }
        search.endpoint = std::move(opened.endpoint);
        // One seqid per interface, so that a QUERY heard is known to be this interface's own.
        search.seqid = seqidFrom(random());
        search.allowedSends = std::max(timing.retries, 0) + 1;
        search.nextSend = start;
    }
    const auto end = start + timing.timeout;
    const auto live = [](const Searching& search) {
        return search.endpoint && search.result.sendProblem.empty();
    };
    // Bounded by the window: each turn waits until a deadline within it.
    bool interrupted = false;
    while (!interrupted) {
        const auto now = clock.now();
        auto wakeAt = std::min(end, now + kTurn);
        for (Searching& search : searches) {
            if (!live(search)) {
                continue;
            }
            const bool answered = search.found.size() > 0 || search.result.notKept > 0;
            if (!answered && search.result.queriesSent < search.allowedSends &&
                now >= search.nextSend && now < end) {
                if (!search.endpoint->broadcast(queryRequest(search.seqid, ""),
                                                search.result.sendProblem)) {
                    continue;
                }
                ++search.result.queriesSent;
                // As discover does: each re-send after half of what is left of the window.
                search.nextSend =
                    start + timing.timeout - timing.timeout / (1 << search.result.queriesSent);
            }
            if (!answered && search.result.queriesSent < search.allowedSends) {
                wakeAt = std::min(wakeAt, std::max(now, search.nextSend));
            }
        }
        // The first socket waits for the turn; the others hand over what queued meanwhile.
        if (std::none_of(searches.begin(), searches.end(), live)) {
            break;  // nothing left that can hear an answer
        }
        bool waited = false;
        for (Searching& search : searches) {
            if (search.endpoint) {
                drain(search, waited ? clock.now() : wakeAt, clock);
                waited = true;
                interrupted = interrupted || search.endpoint->interrupted();
            }
        }
        if (clock.now() >= end) {
            // What arrived by the end, on every socket.
            for (Searching& search : searches) {
                if (search.endpoint) {
                    drain(search, clock.now(), clock);
                }
            }
            break;
        }
    }
    std::vector<InterfaceSearch> results;
    for (Searching& search : searches) {
        if (search.endpoint) {
            search.result.controllers = search.found.sorted();
            search.result.dropped = search.endpoint->dropped();
        }
        results.push_back(std::move(search.result));
    }
    return results;
}

}  // namespace krvctl
