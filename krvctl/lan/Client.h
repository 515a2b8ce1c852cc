#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/DatagramDecoder.h"
#include "krvctl/lan/Endpoint.h"
#include "krvctl/lan/ReplyMatching.h"
#include "krvctl/values/Assignment.h"

namespace krvctl {

struct Timing {
    std::chrono::milliseconds timeout{3000};  // the whole listening window of one request
    int retries = 2;  // re-sends while nothing has answered, after 1/2, 3/4, ... of the window
    // No re-send sooner than this after the one before, and a window long enough for them all:
    // a change a controller hears twice costs it a second pause, so it is sent again only once
    // its answer is really overdue.
    std::chrono::milliseconds patience{0};
};

// The patience for a change to a controller that answered its discovery after answeredAfter: a
// loaded controller answers late, and its ACK as late as its STATUS.
std::chrono::milliseconds patienceFor(std::chrono::milliseconds answeredAfter);

enum class Delivery {
    Answered,
    Silent,   // sent, but nothing matching arrived within the window
    NotSent,  // the request could not leave this machine; problem says why
};

struct Discovery {
    Delivery delivery = Delivery::Silent;
    std::string problem;
    std::vector<ControllerRecord> controllers;  // each MAC once, sorted by address
    std::vector<std::string> conflicts;       // MACs heard from more than one address or interface
    std::vector<std::string> conflictedMacs;  // the MACs of those lines
    // Beside each of those MACs: the interfaces it answered on when more than one, else none.
    std::vector<std::vector<std::string>> conflictedInterfaces;
    std::vector<std::string> searched;  // the interfaces the query went out on
    std::uint64_t dropped = 0;          // replies the system dropped unread
    std::uint64_t setApart = 0;         // replies without a MAC, or with a malformed one
    std::chrono::milliseconds lastNewReplyAfter{0};
    int requestsSent = 0;
};

struct QueryAnswer {
    Delivery delivery = Delivery::Silent;
    std::string problem;
    std::optional<ControllerRecord> record;
};

struct AckAnswer {
    Delivery delivery = Delivery::Silent;
    std::string problem;
    bool accepted = false;
    std::string from;
    std::int64_t receivedAtMs = 0;
    std::string sentClock;  // the utcclock value of the request that was answered, if any
};

// A request begun beside others (see Client::beginQuery): what ended it.
struct Answer {
    std::uint64_t ticket = 0;
    Delivery delivery = Delivery::Silent;
    std::string problem;
    std::optional<ControllerRecord> record;  // the STATUS that answered a query
    AckAnswer ack;                           // the ACK that answered an assign or clear
    int sent = 0;  // how often it went out: a controller that heard an ASSIGN twice pauses twice
};

struct MonitoredDatagram {
    ReceivedDatagram datagram;
    DecodedDatagram decoded;
    std::int64_t receivedAtMs = 0;
};

// The conversation with controllers: every request gets a fresh random seqid, only replies
// carrying it (and, when addressed, the MAC) count, and silence is retried within the window.
class Client {
  public:
    Client(Endpoint& endpoint, Clock& clock, std::function<std::uint64_t()> random, Timing timing);

    // Listens for the whole window; every controller that answers is listed once.
    Discovery discover();
    // For a plan: ends early once every one of expected has answered, after a grace for the
    // others on the LAN as long again as they took (at least half a second); while one has not,
    // it listens three windows, and on a window past the latest new answer, up to ten windows,
    // since a loaded LAN still answering is likelier slow than short.
    Discovery discover(const std::vector<std::string>& expected);
    // The first STATUS of that controller.
    QueryAnswer query(const std::string& mac);
    AckAnswer assign(const std::string& mac, const Assignment& assignment);
    AckAnswer clear(const std::string& mac, const std::string& setting);
    // Waits while an accepting controller writes its changes and pauses.
    void waitOutAssignPause();
    // Every datagram on the port, until count of them, the deadline, or an interruption.
    void monitor(const std::function<void(const MonitoredDatagram&)>& onDatagram,
                 std::optional<std::size_t> count,
                 std::optional<std::chrono::steady_clock::time_point> until);

    // Requests side by side on the one endpoint, for many controllers at once: each is begun
    // (and sent at the next awaitAnswers), retried and timed out on its own as the calls above
    // are, and ends with the first reply that carries its seqid and MAC. Returns a ticket.
    // window: how long this query waits in place of the usual window, for a controller that
    // may still be pausing after an ASSIGN it never answered.
    std::uint64_t beginQuery(const std::string& mac,
                             std::optional<std::chrono::milliseconds> window = std::nullopt,
                             std::chrono::milliseconds patience = {});
    std::uint64_t beginAssign(const std::string& mac, const Assignment& assignment,
                              std::chrono::milliseconds patience = {});
    std::uint64_t beginClear(const std::string& mac, const std::string& setting,
                             std::chrono::milliseconds patience = {});
    // Sends what is due and waits until at least one begun request has ended, or until. Returns
    // every request that ended meanwhile; empty when until came first or on an interruption.
    std::vector<Answer> awaitAnswers(std::chrono::steady_clock::time_point until);
    std::size_t inFlight() const { return inFlight_.size(); }
    bool interrupted() const { return endpoint_.interrupted(); }

    Clock& clock() { return clock_; }
    const Timing& timing() const { return timing_; }
    // The interfaces searched now; see Endpoint::interfaces.
    std::vector<std::string> interfaces() const { return endpoint_.interfaces(); }
    // Where a request addressed to mac goes: the searched interface it last answered on, or
    // empty for every searched one (a MAC not heard yet, or one whose interface went away).
    std::string interfaceFor(const std::string& mac) const;

  private:
    // Called for each matching reply; returns true when the exchange is complete.
    using AnswerHandler = std::function<bool(const DecodedDatagram&, const ReceivedDatagram&,
                                             std::int64_t receivedAtMs)>;
    struct ExchangeResult {
        Delivery delivery = Delivery::Silent;
        std::string problem;
        int sent = 0;
    };
    Discovery discoverUntil(const std::vector<std::string>* expected);
    ExchangeResult exchange(const std::function<std::string()>& request, Command replyCommand,
                            const std::string& seqid, const std::string& mac,
                            const AnswerHandler& onAnswer,
                            const std::chrono::steady_clock::time_point* endBy = nullptr,
                            const Timing* timing = nullptr);
    // Remembers the interface a controller answered on, so what is addressed to it goes there.
    void learnInterface(const std::string& mac, const ReceivedDatagram& datagram);
    AckAnswer awaitAck(const std::function<std::string()>& request, const std::string& seqid,
                       const std::string& mac);
    std::string freshSeqid();

    // When one request is sent and sent again, and until when its answers count.
    class Attempts {
      public:
        Attempts(std::chrono::steady_clock::time_point start, const Timing& timing);
        bool sendDue(std::chrono::steady_clock::time_point now, bool answered) const;
        void sent();
        std::chrono::steady_clock::time_point end() const { return start_ + timeout_; }
        // Moves the window's end, never beyond the window it was begun with.
        void endBy(std::chrono::steady_clock::time_point at) {
            timeout_ = std::min(longest_,
                                std::chrono::duration_cast<std::chrono::milliseconds>(at - start_));
        }
        // The end, or the next re-send when one is due before it.
        std::chrono::steady_clock::time_point wakeAt(bool answered) const;
        int count() const { return sent_; }

      private:
        std::chrono::steady_clock::time_point start_;
        std::chrono::milliseconds timeout_;
        std::chrono::milliseconds longest_;
        std::chrono::milliseconds patience_;
        int allowed_;
        int sent_ = 0;
        std::chrono::steady_clock::time_point nextSend_;
    };
    // A request among others; sentClock receives the utcclock an ASSIGN carried.
    struct Begun {
        std::uint64_t ticket = 0;
        std::function<std::string()> request;
        ReplyFilter filter;
        Attempts attempts;
        std::shared_ptr<std::string> sentClock;
        std::string interface;  // empty: every searched one
    };
    std::uint64_t begin(std::function<std::string()> request, Command replyCommand,
                        const std::string& seqid, const std::string& mac,
                        std::shared_ptr<std::string> sentClock, const Timing& timing);
    std::function<std::string()> assignRequestOf(const std::string& seqid, const std::string& mac,
                                                 const Assignment& assignment,
                                                 std::shared_ptr<std::string> sentClock);

    Endpoint& endpoint_;
    Clock& clock_;
    std::function<std::uint64_t()> random_;
    Timing timing_;
    // By ticket, so that requests leave in the order they were begun: a controller takes
    // datagrams in order, and a query behind a CLEAR must see its effect.
    std::map<std::uint64_t, Begun> inFlight_;
    std::map<std::string, std::uint64_t> ticketOfSeqid_;
    std::uint64_t lastTicket_ = 0;
    // A LAN of strangers cannot grow it without end: a MAC beyond the bound is addressed on
    // every interface, which reaches it just the same.
    static constexpr std::size_t kInterfacesRemembered = 65536;
    std::map<std::string, std::string> interfaceOfMac_;
};

}  // namespace krvctl
