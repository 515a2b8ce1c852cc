#pragma once

// A LAN in memory for krvctl: a clock that only moves when the tool waits, and an endpoint
// whose responder answers each broadcast with datagrams due at chosen moments.

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"
#include "protocol/MessageText.h"
#include "protocol/Wire.h"

namespace krvctl::test {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

// 2026-12-08 12:00:00 UTC.
inline constexpr std::int64_t kStartWallMs = 1796731200000;

class FakeClock : public Clock {
  public:
    steady_clock::time_point now() override { return now_; }
    std::int64_t wallMilliseconds() override {
        return kStartWallMs + std::chrono::duration_cast<milliseconds>(now_ - start_).count();
    }
    void sleepUntil(steady_clock::time_point until) override { now_ = std::max(now_, until); }
    milliseconds elapsed() const { return std::chrono::duration_cast<milliseconds>(now_ - start_); }

  private:
    steady_clock::time_point start_ = steady_clock::time_point() + std::chrono::hours(1);
    steady_clock::time_point now_ = start_;
};

struct SentDatagram {
    milliseconds at;
    std::string bytes;
    std::string interface;  // empty: every searched one
};

class FakeEndpoint : public Endpoint {
  public:
    // Called with each broadcast; answers with deliver().
    using Responder = std::function<void(const std::string& request, FakeEndpoint& lan)>;

    explicit FakeEndpoint(FakeClock& clock, Responder responder = {})
        : clock_(clock), responder_(std::move(responder)) {}

    void deliver(std::string bytes, std::string from, milliseconds after = milliseconds(10),
                 std::string interface = {}) {
        queue_.emplace(clock_.now() + after,
                       ReceivedDatagram{std::move(bytes), std::move(from), std::move(interface)});
    }
    // The laptop's networks; none by default, as an endpoint that cannot tell them apart.
    void setInterfaces(std::vector<std::string> names) { interfaces_ = std::move(names); }
    // Whether the last broadcast reached the network behind interface (empty: any).
    bool lastReached(const std::string& interface) const {
        return !sent_.empty() && (sent_.back().interface.empty() || interface.empty() ||
                                  sent_.back().interface == interface);
    }
    void failBroadcasts(std::string why) { broadcastFailure_ = std::move(why); }
    void setDropped(std::uint64_t count) { dropped_ = count; }
    void interrupt() { interrupted_ = true; }  // as Ctrl-C does

    using Endpoint::broadcast;
    bool broadcast(const std::string& bytes, std::string& problem,
                   const std::string& interface) override {
        if (!broadcastFailure_.empty()) {
            problem = broadcastFailure_;
            return false;
        }
        sent_.push_back({clock_.elapsed(), bytes, interface});
        if (responder_) {
            responder_(bytes, *this);
        }
        return true;
    }
    std::optional<ReceivedDatagram> receive(steady_clock::time_point deadline) override {
        if (queue_.empty() || queue_.begin()->first > deadline) {
            if (deadline == steady_clock::time_point::max()) {
                interrupted_ = true;  // nothing will ever come: end the wait as Ctrl-C would
                return std::nullopt;
            }
            clock_.sleepUntil(deadline);
            return std::nullopt;
        }
        auto next = queue_.extract(queue_.begin());
        clock_.sleepUntil(next.key());
        return std::move(next.mapped());
    }
    std::vector<std::string> interfaces() const override { return interfaces_; }
    std::uint64_t dropped() const override { return dropped_; }
    bool interrupted() const override { return interrupted_; }

    const std::vector<SentDatagram>& sent() const { return sent_; }

  private:
    FakeClock& clock_;
    Responder responder_;
    std::multimap<steady_clock::time_point, ReceivedDatagram> queue_;
    std::vector<SentDatagram> sent_;
    std::string broadcastFailure_;
    std::vector<std::string> interfaces_;
    std::uint64_t dropped_ = 0;
    bool interrupted_ = false;
};

// The value of item key in a request or reply text, or "<absent>".
inline std::string itemOf(const std::string& text, const std::string& key) {
    const std::string marker = "#" + key + "=";
    const auto start = text.find(marker);
    if (start == std::string::npos) {
        return "<absent>";
    }
    const auto from = start + marker.size();
    return text.substr(from, text.find('#', from) - from);
}

// A controller's STATUS text as the daemon builds it.
inline std::string statusText(const std::string& seqid, const std::string& mac,
                              const std::vector<std::pair<std::string, std::string>>& fields,
                              const std::string& utcclock = "20261208120000") {
    std::string text = krv::messageStart(krv::wire::kStatus);
    krv::appendItem(text, krv::wire::key::kSeqid, seqid);
    krv::appendItem(text, krv::wire::key::kMac, mac);
    for (const auto& [key, value] : fields) {
        krv::appendItem(text, key, value);
    }
    krv::appendItem(text, krv::wire::key::kUtcclock, utcclock);
    krv::appendItem(text, krv::wire::key::kDisplaytime, "");
    return text;
}

}  // namespace krvctl::test
