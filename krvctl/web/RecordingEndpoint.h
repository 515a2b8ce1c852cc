#pragma once

#include <atomic>
#include <functional>

#include "krvctl/lan/Endpoint.h"
#include "krvctl/web/EventLog.h"

namespace krvctl {

// Passes everything through to the real endpoint and, while recording, writes each request
// sent and each reply received into the event log. The tool's own broadcasts and other tools'
// requests also arrive; they are not replies, so they stay out of the log.
class RecordingEndpoint final : public Endpoint {
  public:
    RecordingEndpoint(Endpoint& inner, EventLog& log);

    // Off for the periodic discovery, which would bury the rest of the log.
    void record(bool on) { recording_ = on; }
    // A stop asked for in the page ends the waiting as Ctrl-C does on the command line.
    void interruptWhen(std::function<bool()> asked) { stopAsked_ = std::move(asked); }

    using Endpoint::broadcast;
    bool broadcast(const std::string& bytes, std::string& problem,
                   const std::string& interface) override;
    std::vector<std::string> interfaces() const override { return inner_.interfaces(); }
    std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) override;
    std::uint64_t dropped() const override { return inner_.dropped(); }
    bool interrupted() const override {
        return inner_.interrupted() || (stopAsked_ && stopAsked_());
    }

  private:
    Endpoint& inner_;
    EventLog& log_;
    std::atomic<bool> recording_ = false;
    std::function<bool()> stopAsked_;
};

}  // namespace krvctl
