#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/ControllerRecord.h"
#include "krvctl/lan/DatagramDecoder.h"
#include "krvctl/lan/Endpoint.h"
#include "krvctl/values/Assignment.h"

namespace krvctl {

struct Timing {
    std::chrono::milliseconds timeout{3000};  // the whole listening window of one request
    int retries = 2;  // re-sends while nothing has answered, after 1/2, 3/4, ... of the window
};

enum class Delivery {
    Answered,
    Silent,   // sent, but nothing matching arrived within the window
    NotSent,  // the request could not leave this machine; problem says why
};

struct Discovery {
    Delivery delivery = Delivery::Silent;
    std::string problem;
    std::vector<ControllerRecord> controllers;  // each MAC once, sorted by address
    std::vector<std::string> conflicts;         // MACs heard from more than one address
    std::uint64_t dropped = 0;                  // replies the system dropped unread
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

    Clock& clock() { return clock_; }

  private:
    // Called for each matching reply; returns true when the exchange is complete.
    using AnswerHandler = std::function<bool(const DecodedDatagram&, const ReceivedDatagram&,
                                             std::int64_t receivedAtMs)>;
    struct ExchangeResult {
        Delivery delivery = Delivery::Silent;
        std::string problem;
        int sent = 0;
    };
    ExchangeResult exchange(const std::function<std::string()>& request, Command replyCommand,
                            const std::string& seqid, const std::string& mac,
                            const AnswerHandler& onAnswer);
    AckAnswer awaitAck(const std::function<std::string()>& request, const std::string& seqid,
                       const std::string& mac);
    std::string freshSeqid();

    Endpoint& endpoint_;
    Clock& clock_;
    std::function<std::uint64_t()> random_;
    Timing timing_;
};

}  // namespace krvctl
