#pragma once

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"
#include "krvctl/platform/LanSocket.h"
#include "krvctl/platform/NetworkInterfaces.h"
#include "krvctl/values/ExitStatus.h"

namespace krvctl {

// The real endpoint: one UDP socket bound to the protocol port on every local address, shared
// with a daemon on the same machine (SO_REUSEADDR), allowed to broadcast, and with a receive
// buffer sized for a whole LAN answering at once. IP_PKTINFO picks the interface each broadcast
// leaves by and tells the one each datagram arrived on, so no privilege is needed.
class UdpEndpoint final : public Endpoint {
  public:
    // See openLanEndpoint.
    static OpenedEndpoint open(const std::vector<std::string>& interfaces);

    // Takes ownership of a UDP socket; named empty searches every searchable interface.
    UdpEndpoint(int fd, std::vector<std::string> named);
    ~UdpEndpoint() override;
    UdpEndpoint(const UdpEndpoint&) = delete;
    UdpEndpoint& operator=(const UdpEndpoint&) = delete;

    using Endpoint::broadcast;
    bool broadcast(const std::string& bytes, std::string& problem,
                   const std::string& interface) override;
    std::vector<std::string> interfaces() const override;
    std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) override;
    std::uint64_t dropped() const override;
    bool interrupted() const override;

  private:
    struct Searched {
        std::string name;
        unsigned index = 0;
    };
    // Reads every datagram already queued, up to a batch; false when none was.
    bool drainQueued();
    // Lists the interfaces again when the last listing is older than a second: a cable plugged
    // in while a monitor or the console runs is searched from its next request on.
    void followInterfaces(bool now = false);
    bool sendOn(const std::string& bytes, unsigned index, std::string& problem);
    bool sendByRoute(const std::string& bytes, std::string& problem);
    // The name of the interface with that index, when a datagram arriving on it counts.
    std::optional<std::string> acceptedFrom(unsigned index);

    int fd_;
    std::vector<std::string> named_;
    mutable std::mutex searchedMutex_;  // the console's page asks from another thread
    std::vector<Searched> searched_;
    std::map<unsigned, std::string> nameOfIndex_;
    std::chrono::steady_clock::time_point listedAt_;
    std::deque<ReceivedDatagram> pending_;
    std::vector<std::string> buffers_;
};

}  // namespace krvctl
