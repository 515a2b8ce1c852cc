#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"
#include "krvctl/platform/LanSocket.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl {

// The real endpoint: a UDP socket bound to the protocol port on every local address, shared
// with a daemon on the same machine (SO_REUSEADDR), allowed to broadcast, and with a receive
// buffer sized for a whole LAN answering at once.
class UdpEndpoint final : public Endpoint {
  public:
    // interface empty: the system's route for 255.255.255.255 decides; otherwise sends and
    // receives on that interface only. Fails with kUsage for an unknown interface, else with
    // kUnavailable.
    static OpenedEndpoint open(const std::string& interface);

    // Takes ownership of a UDP socket.
    explicit UdpEndpoint(int fd);
    ~UdpEndpoint() override;
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    bool broadcast(const std::string& bytes, std::string& problem) override;
    std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) override;
    std::uint64_t dropped() const override;
    bool interrupted() const override;

  private:
    // Reads every datagram already queued, up to a batch; false when none was.
    bool drainQueued();

    int fd_;
    std::deque<ReceivedDatagram> pending_;
    std::vector<std::string> buffers_;
};

}  // namespace krvctl
