#pragma once

// The fixture every end-to-end test of the real krvd binary shares: a lab of two namespaces,
// the configuration tool's side in one and the daemon on the simulated controller in the other.

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/core/e2e/NetworkLab.h"

namespace krvd::e2e {

using namespace std::chrono_literals;

inline constexpr const char* kDeviceMac = "02:00:00:4B:10:01";  // the simulated default

// One field of a reply, the text after "#key=" up to the next "#".
inline std::string field(const std::string& reply, const std::string& key) {
    const std::string marker = "#" + key + "=";
    const auto start = reply.find(marker);
    if (start == std::string::npos) {
        return "<absent>";
    }
    const auto from = start + marker.size();
    return reply.substr(from, reply.find('#', from) - from);
}

// How often text occurs in haystack.
inline std::size_t occurrences(const std::string& haystack, const std::string& text) {
    std::size_t count = 0;
    for (auto at = haystack.find(text); at != std::string::npos;
         at = haystack.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

class EndToEnd : public ::testing::Test {
  protected:
    // Builds the lab, the peer and the daemon and starts it; skips when this machine cannot
    // host them. A skip or failure here only leaves this helper: callers check ready().
    void bringUp(NetworkLab::Side side, Daemon::Options options = {},
                 const std::vector<std::vector<std::string>>& simSetup = {}) {
        prepare(side, std::move(options), simSetup);
        if (ready()) {
            ASSERT_TRUE(daemon->start()) << daemon->failure();
        }
    }

    // The same without starting the daemon.
    void prepare(NetworkLab::Side side, Daemon::Options options = {},
                 const std::vector<std::vector<std::string>>& simSetup = {}) {
        lab = std::make_unique<NetworkLab>(side);
        if (!lab->failure().empty()) {
            GTEST_SKIP() << lab->failure();
        }
        peer = std::make_unique<Peer>(*lab);
        ASSERT_EQ(peer->failure(), "");
        daemon = std::make_unique<Daemon>(*lab, std::move(options));
        for (const auto& arguments : simSetup) {
            daemon->configure(arguments);
        }
        ASSERT_EQ(daemon->failure(), "");
    }

    // False after a skip or a fatal failure in bringUp or prepare: the test must end there.
    bool ready() const { return !IsSkipped() && !HasFatalFailure(); }

    // Broadcasts a request and returns the first reply starting with prefix.
    std::optional<ReceivedDatagram> ask(const std::string& request, const std::string& prefix,
                                        std::chrono::milliseconds timeout = 10s) {
        EXPECT_TRUE(peer->broadcast(request));
        return peer->receive(prefix, timeout);
    }

    void TearDown() override {
        if (HasFailure() && daemon) {
            const std::string out = daemon->standardOutput();
            // The tail is what explains a failure; a soak's output runs to megabytes.
            std::cerr << "--- krvd stdout (last 4000 bytes)\n"
                      << out.substr(out.size() > 4000 ? out.size() - 4000 : 0)
                      << "--- krvd stderr\n"
                      << daemon->standardError() << "--- commands\n"
                      << daemon->commandRecord();
        }
        daemon.reset();
        peer.reset();
        lab.reset();
    }

    std::unique_ptr<NetworkLab> lab;
    std::unique_ptr<Peer> peer;
    std::unique_ptr<Daemon> daemon;
};

}  // namespace krvd::e2e
