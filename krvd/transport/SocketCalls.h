#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <string>

namespace krvd {

// The socket system calls the Broadcaster makes, one for one, so that tests can record them
// and make any of them fail. A failure is a negative result with errno set, as from the system.
class SocketCalls {
  public:
    virtual ~SocketCalls() = default;
    virtual int socket(int domain, int type, int protocol) = 0;
    virtual int setsockopt(int fd, int level, int name, const void* value, socklen_t length) = 0;
    virtual int bind(int fd, const sockaddr_in& address) = 0;
    // Never waits: -1 with errno EAGAIN when no datagram is queued. A datagram longer than size
    // is cut to size.
    virtual ssize_t recvfrom(int fd, char* buffer, std::size_t size, sockaddr_in& sender) = 0;
    // Waits until a datagram is queued on fd or a stop signal arrives (StopSignals.h), and
    // returns at once when one has arrived already.
    virtual void waitReadable(int fd) = 0;
    // Flags 0; sends all of bytes as one datagram.
    virtual ssize_t sendto(int fd, const std::string& bytes, const sockaddr_in& destination) = 0;
    virtual void close(int fd) = 0;
};

// The real system calls; the only implementation the daemon uses.
SocketCalls& systemSocketCalls();

}  // namespace krvd
