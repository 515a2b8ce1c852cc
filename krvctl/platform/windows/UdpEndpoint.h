#pragma once

#include <deque>
#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"
#include "krvctl/platform/windows/AdapterChoice.h"
#include "krvctl/platform/windows/Winsock.h"

namespace krvctl::windows {

// The real endpoint on Windows: a UDP socket on the protocol port for each adapter address
// searched, bound to that address (an unbound socket's broadcast leaves by one adapter only,
// the one of the lowest route metric), shared with other programs (SO_REUSEADDR) and allowed to
// broadcast. Every socket is read; a broadcast leaves by each.
class UdpEndpoint final : public Endpoint {
  public:
    struct BoundSocket {
        AdapterAddress at;
        OwnedSocket socket;
    };

    // interface empty: every adapter that is up and can broadcast; otherwise that adapter, by its
    // own or its friendly name. Fails with kUsage for an unknown adapter, else kUnavailable.
    static OpenedEndpoint open(const std::string& interface);

    explicit UdpEndpoint(std::vector<BoundSocket> sockets);

    bool broadcast(const std::string& bytes, std::string& problem) override;
    std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) override;
    // Windows keeps no count of a socket's dropped datagrams.
    std::uint64_t dropped() const override { return 0; }
    bool interrupted() const override;

  private:
    // Reads what is queued on the sockets the last wait found readable; false when nothing was.
    bool drainReadable(const std::vector<bool>& readable);

    std::vector<BoundSocket> sockets_;
    std::deque<ReceivedDatagram> pending_;
    std::string buffer_;
};

}  // namespace krvctl::windows
