#pragma once

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "krvctl/lan/Endpoint.h"
#include "krvctl/platform/windows/AdapterChoice.h"
#include "krvctl/platform/windows/Winsock.h"

namespace krvctl::windows {

// The real endpoint on Windows: a UDP socket on the protocol port for each IPv4 address of each
// adapter searched, bound to that address (an unbound socket's broadcast leaves by one adapter
// only, the one of the lowest route metric), shared with other programs (SO_REUSEADDR) and
// allowed to broadcast. Every socket is read and tags what it reads with its adapter; a
// broadcast leaves once by each adapter.
class UdpEndpoint final : public Endpoint {
  public:
    // See openLanEndpoint; names as the listing gives them (see listedNames).
    static OpenedEndpoint open(const std::vector<std::string>& interfaces);

    explicit UdpEndpoint(std::vector<std::string> named);

    using Endpoint::broadcast;
    bool broadcast(const std::string& bytes, std::string& problem,
                   const std::string& interface) override;
    std::vector<std::string> interfaces() const override;
    std::optional<ReceivedDatagram> receive(
        std::chrono::steady_clock::time_point deadline) override;
    // Windows keeps no count of a socket's dropped datagrams.
    std::uint64_t dropped() const override { return 0; }
    bool interrupted() const override;

  private:
    struct BoundSocket {
        AdapterAddress at;
        OwnedSocket socket;
    };
    // Lists the adapters again when the last listing is older than a second, so a cable plugged
    // in while a monitor or the console runs is searched from its next request on: a socket for
    // each new address, those of addresses gone closed. The first socket that could not be
    // opened, or empty.
    std::string followAdapters(bool now = false);
    // Reads what is queued on the sockets the last wait found readable; false when nothing was.
    bool drainReadable(const std::vector<bool>& readable);

    std::vector<std::string> named_;
    mutable std::mutex searchedMutex_;  // the console's page asks from another thread
    std::vector<std::string> searched_;
    std::string adapterList_;  // the adapters there are, for a search that has none
    // The rest only on the thread that sends and receives.
    std::vector<BoundSocket> sockets_;
    std::chrono::steady_clock::time_point listedAt_;
    std::deque<ReceivedDatagram> pending_;
    std::string buffer_;
};

}  // namespace krvctl::windows
