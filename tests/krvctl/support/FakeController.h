#pragma once

// Controllers in memory that answer the tool over a FakeEndpoint as the daemon would: STATUS
// for a QUERY, ACK for an ASSIGN or CLEAR addressed to them, changes that show in the next
// STATUS, and the pause after an accepted ASSIGN. Each can be told to misbehave.

#include <deque>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "krvctl/lan/DatagramDecoder.h"
#include "krvctl/values/UtcClock.h"
#include "tests/krvctl/support/FakeNetwork.h"

namespace krvctl::test {

struct FakeController {
    std::string mac = "02:00:00:4B:10:01";
    std::string from = "192.0.2.10";
    std::string interface;  // the laptop's interface whose network it sits on; empty: every one
    std::map<std::string, std::string> values = {
        {"ip", "192.0.2.10"},       {"netmask", "255.255.255.0"}, {"gateway", "192.0.2.1"},
        {"hostname", "ctl"},        {"ipscheme", "STATIC"},       {"ntpip", "192.0.2.123"},
        {"syslogip", "192.0.2.50"}, {"nameserver", "192.0.2.53"}, {"sdusage", "37%"}};
    std::int64_t clockOffsetSeconds = 0;
    bool accepts = true;
    bool silent = false;
    bool silentAfterAssign = false;
    bool hearsAssign = true;            // false: every ASSIGN is lost on the way, queries are not
    int answerFromAttempt = 1;          // attempts before this one go unheard
    std::set<std::string> ignoredKeys;  // assigned or cleared without effect
    milliseconds delay{40};             // from request to reply
    // Busy after an accepted ASSIGN for the daemon's pause: requests wait until it ends.
    bool pausesAfterAssign = false;
    steady_clock::time_point busyUntil{};

    // The STATUS as the daemon orders it.
    std::string status(const std::string& seqid, std::int64_t wallMs) const {
        std::vector<std::pair<std::string, std::string>> fields;
        for (const std::string_view key : krv::wire::kStatusKeys) {
            const auto value = values.find(std::string(key));
            if (value != values.end() && !value->second.empty()) {
                fields.emplace_back(key, value->second);
            }
        }
        return statusText(seqid, mac, fields, formatUtcClock(wallMs / 1000 + clockOffsetSeconds));
    }

    // An accepted ASSIGN's settings, as the daemon takes them (a public resolver never shows
    // as the name server); atMs is the wall clock when it arrives.
    void take(const DecodedDatagram& assign, std::int64_t atMs) {
        for (std::size_t i = 2; i < assign.items.size(); ++i) {
            const Item& item = assign.items[i];
            if (ignoredKeys.contains(item.key)) {
                continue;
            }
            if (item.key == "utcclock") {
                clockOffsetSeconds = parseUtcClock(item.value).value() - atMs / 1000;
            } else if (item.key != "nameserver" ||
                       (item.value != "8.8.8.8" && item.value != "1.1.1.1")) {
                values[item.key] = item.value;
            }
        }
        if (silentAfterAssign) {
            silent = true;
        }
    }

    // An accepted CLEAR.
    void forget(const std::string& key) {
        if (!ignoredKeys.contains(key)) {
            values.erase(key);
        }
    }
};

// A controller on the network behind one of the laptop's interfaces.
inline FakeController controllerOn(std::string interface, std::string mac, std::string from) {
    FakeController controller;
    controller.interface = std::move(interface);
    controller.mac = std::move(mac);
    controller.from = std::move(from);
    return controller;
}

// Hands each request to every controller; the whole LAN for one FakeEndpoint.
class FakeFleet {
  public:
    explicit FakeFleet(FakeClock& clock) : clock_(clock) {}

    FakeController& add(FakeController controller) {
        controllers_.push_back(std::move(controller));
        return controllers_.back();
    }
    FakeController& at(std::size_t index) { return controllers_.at(index); }

    FakeEndpoint::Responder responder() {
        return [this](const std::string& request, FakeEndpoint& lan) { answer(request, lan); };
    }

  private:
    void answer(const std::string& request, FakeEndpoint& lan) {
        const DecodedDatagram decoded = decodeDatagram(request);
        const std::string* seqid = decoded.find("seqid");
        const std::string* mac = decoded.find("mac");
        if (seqid == nullptr) {
            return;
        }
        const int attempt = ++attempts_[*seqid];
        for (FakeController& controller : controllers_) {
            const bool addressed = mac == nullptr || *mac == controller.mac;
            if (!addressed || controller.silent || attempt < controller.answerFromAttempt ||
                (decoded.command == Command::Assign && !controller.hearsAssign) ||
                !lan.lastReached(controller.interface)) {
                continue;
            }
            const milliseconds wait =
                controller.delay +
                std::max(milliseconds(0), std::chrono::duration_cast<milliseconds>(
                                              controller.busyUntil - clock_.now()));
            const auto at = clock_.wallMilliseconds() + wait.count();
            switch (decoded.command) {
                case Command::Query:
                    lan.deliver(controller.status(*seqid, at), controller.from, wait,
                                controller.interface);
                    break;
                case Command::Assign:
                    lan.deliver(krv::ackText(*seqid, controller.mac, controller.accepts),
                                controller.from, wait, controller.interface);
                    if (controller.accepts) {
                        controller.take(decoded, at);
                        if (controller.pausesAfterAssign) {
                            controller.busyUntil = clock_.now() + wait + std::chrono::seconds(5);
                        }
                    }
                    break;
                case Command::Clear:
                    lan.deliver(krv::ackText(*seqid, controller.mac, controller.accepts),
                                controller.from, wait, controller.interface);
                    if (controller.accepts) {
                        controller.forget(decoded.items[2].key);
                    }
                    break;
                default:
                    break;
            }
        }
    }

    FakeClock& clock_;
    std::deque<FakeController> controllers_;  // references stay valid as controllers are added
    std::map<std::string, int> attempts_;     // by seqid: a retry carries the same one
};

// A random source that never repeats.
inline std::function<std::uint64_t()> countingRandom() {
    return [next = std::uint64_t{0x1000}]() mutable { return next++; };
}

}  // namespace krvctl::test
