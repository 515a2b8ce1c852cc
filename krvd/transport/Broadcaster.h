#pragma once

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "krvd/transport/IBroadcasterCallback.h"
#include "krvd/transport/KeepAlive.h"
#include "krvd/transport/ReplySender.h"
#include "krvd/transport/SocketCalls.h"

namespace krvd {

// The daemon's one network endpoint: a UDP socket bound to the port on every local address.
// Every datagram goes to the callback; every reply is a broadcast to 255.255.255.255 on the
// same port, through the UDP socket on the bridge "br0" and as a raw frame bound to the
// interface everywhere else (and whenever the UDP send fails).
class Broadcaster : public ReplySender {
  public:
    // Longest text the raw path sends; longer ones are discarded.
    static constexpr std::size_t kMaxRawText = 1471;

    // Creates, configures and binds the UDP socket, or reports the failure on standard error
    // and ends the process with status 1. The callback is not owned.
    Broadcaster(IBroadcasterCallback* callback, std::uint16_t port, std::string interface);
    // The same over other socket calls (tests); the daemon uses the constructor above.
    Broadcaster(IBroadcasterCallback* callback, std::uint16_t port, std::string interface,
                SocketCalls& sockets);
    ~Broadcaster() override;
    Broadcaster(const Broadcaster&) = delete;
    Broadcaster& operator=(const Broadcaster&) = delete;

    // Reports readiness and keep-alives through keepAlive from now on (the daemon's, shared
    // with the seams in front of each command). Not owned.
    void superviseBy(KeepAlive& keepAlive);

    // Writes the banner, then hands every received datagram to the callback, forever; a stop
    // signal ends the process between two datagrams (StopSignals.h).
    [[noreturn]] void listen();
    // Tells the service manager the endpoint is ready; when it expects keep-alives, the wait
    // for datagrams is limited so that an idle daemon still sends them.
    void announceReady();
    // One turn of the listen loop: flushes standard output, waits for the next datagram, and
    // hands it and every datagram queued behind it (up to kReceiveBatch) to the callback in
    // order. Returns how many it handed on; empty datagrams and failed receives (a limited wait
    // that ran out among them) are skipped.
    std::size_t receiveQueued();

    // Sends all of text, NUL bytes included; failures go to standard error only.
    void send(const std::string& text) override;
    // The raw path with its size guard.
    void sendRaw(const std::string& text);

    const std::string& interface() const { return interface_; }
    std::uint16_t port() const { return port_; }
    // The UDP socket; -1 when there is none.
    int socketFd() const { return socketFd_; }

  private:
    void sendRawFrame(const std::string& text);
    // Sets an integer socket option to 1; false on failure, errno set.
    bool switchOn(int fd, int level, int option);

    SocketCalls& sockets_;
    std::string interface_;
    std::uint16_t port_;
    IBroadcasterCallback* callback_;
    KeepAlive unsupervised_;
    KeepAlive* keepAlive_ = &unsupervised_;
    int socketFd_ = -1;
    sockaddr_in bindAddress_{};
    sockaddr_in broadcastAddress_{};
    // Reused for every batch and never cleared; only the received counts are meaningful.
    std::array<ReceivedDatagram, kReceiveBatch> receiveSlots_{};
};

}  // namespace krvd
