#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <array>
#include <cstddef>
#include <span>
#include <string>

namespace krvd {

// Datagrams taken from the queue at once in a flood: enough to make one write of many
// datagrams' lines, few enough to keep the buffers to two pages.
inline constexpr std::size_t kReceiveBatch = 16;

// One received datagram: its first 512 bytes, its length (after the cut), and its sender.
struct ReceivedDatagram {
    std::array<char, 512> bytes;
    ssize_t count = 0;
    sockaddr_in sender{};
};

// The socket system calls the Broadcaster makes, one for one, so that tests can record them
// and make any of them fail. A failure is a negative result with errno set, as from the system.
class SocketCalls {
  public:
    virtual ~SocketCalls() = default;
    virtual int socket(int domain, int type, int protocol) = 0;
    virtual int setsockopt(int fd, int level, int name, const void* value, socklen_t length) = 0;
    virtual int bind(int fd, const sockaddr_in& address) = 0;
    // Waits for the next datagram, then takes as many more as are already queued, up to
    // slots.size(); each is cut to its slot's 512 bytes. Returns how many slots it filled, or
    // -1 with errno set.
    virtual int receiveBatch(int fd, std::span<ReceivedDatagram> slots) = 0;
    // Flags 0; sends all of bytes as one datagram.
    virtual ssize_t sendto(int fd, const std::string& bytes, const sockaddr_in& destination) = 0;
    virtual void close(int fd) = 0;
};

// The real system calls; the only implementation the daemon uses.
SocketCalls& systemSocketCalls();

}  // namespace krvd
