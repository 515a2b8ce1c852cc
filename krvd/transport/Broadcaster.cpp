#include "krvd/transport/Broadcaster.h"

#include <arpa/inet.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "krvd/core/Version.h"
#include "krvd/transport/RawFrame.h"
#include "krvd/transport/StopSignals.h"

namespace krvd {
namespace {

constexpr char kBridge[] = "br0";

// Writes message and the current errno in decimal as one line on standard error.
void reportErrno(const char* message) {
    const int error = errno;
    std::cerr << message << error << '\n';
}

[[noreturn]] void failStartup(const char* message) {
    reportErrno(message);
    std::exit(1);
}

sockaddr_in ipv4Address(std::uint16_t port, in_addr_t address) {
    sockaddr_in result{};
    result.sin_family = AF_INET;
    result.sin_port = htons(port);
    result.sin_addr.s_addr = address;
    return result;
}

// Closes the raw socket of one send on every path out.
class ScopedSocket {
  public:
    ScopedSocket(SocketCalls& sockets, int fd) : sockets_(sockets), fd_(fd) {}
    ~ScopedSocket() {
        if (fd_ >= 0) {
            sockets_.close(fd_);
        }
    }
    ScopedSocket(const ScopedSocket&) = delete;
    ScopedSocket& operator=(const ScopedSocket&) = delete;
    int fd() const { return fd_; }

  private:
    SocketCalls& sockets_;
    int fd_;
};

}  // namespace

Broadcaster::Broadcaster(IBroadcasterCallback* callback, std::uint16_t port, std::string interface)
    : Broadcaster(callback, port, std::move(interface), systemSocketCalls()) {}

Broadcaster::Broadcaster(IBroadcasterCallback* callback, std::uint16_t port, std::string interface,
                         SocketCalls& sockets)
    : sockets_(sockets), interface_(std::move(interface)), port_(port), callback_(callback) {
    // Close-on-exec: the shell commands the daemon runs must not inherit its socket.
    socketFd_ = sockets_.socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (socketFd_ < 0) {
        failStartup("Error creating socket: ");
    }
    if (!switchOn(socketFd_, SOL_SOCKET, SO_BROADCAST) ||
        !switchOn(socketFd_, SOL_SOCKET, SO_REUSEADDR)) {
        failStartup("Error setting socket options: ");
    }
    bindAddress_ = ipv4Address(port_, htonl(INADDR_ANY));
    broadcastAddress_ = ipv4Address(port_, htonl(INADDR_BROADCAST));
    if (sockets_.bind(socketFd_, bindAddress_) < 0) {
        reportErrno("Error binding socket: ");
        sockets_.close(socketFd_);
        socketFd_ = -1;
        std::exit(1);
    }
}

Broadcaster::~Broadcaster() {
    if (socketFd_ >= 0) {
        sockets_.close(socketFd_);
        socketFd_ = -1;
    }
}

void Broadcaster::superviseBy(KeepAlive& keepAlive) {
    keepAlive_ = &keepAlive;
}

void Broadcaster::listen() {
    // Flushed so that whoever watches the daemon knows it is ready.
    std::cout << "Krevane " << kVersion << " : Listening for broadcast packets\n" << std::flush;
    announceReady();
    catchStopSignals();
    for (;;) {
        receiveQueued();
    }
}

void Broadcaster::announceReady() {
    const std::chrono::microseconds waitLimit = keepAlive_->ready();
    if (waitLimit == std::chrono::microseconds::zero()) {
        return;
    }
    // A receive that waits longer fails with EAGAIN and the loop goes round again.
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(waitLimit.count() / 1000000);
    timeout.tv_usec = static_cast<suseconds_t>(waitLimit.count() % 1000000);
    if (sockets_.setsockopt(socketFd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) < 0) {
        reportErrno("Error setting receive timeout: ");
    }
}

std::size_t Broadcaster::receiveQueued() {
    // A supervisor reading a pipe or the journal must see each datagram's lines before the
    // daemon sits idle, so the output is flushed before every wait; the datagrams already queued
    // are taken and handled together, one write for all of their lines in a flood.
    std::cout.flush();
    beginWait();
    const int received = sockets_.receiveBatch(socketFd_, receiveSlots_);
    endWait();
    keepAlive_->beat();
    std::size_t handed = 0;
    for (int i = 0; i < received; ++i) {
        const ReceivedDatagram& datagram = receiveSlots_[static_cast<std::size_t>(i)];
        if (datagram.count <= 0) {
            continue;
        }
        if (callback_ != nullptr) {
            callback_->onMessage(datagram.bytes.data(), datagram.count,
                                 datagram.sender.sin_addr.s_addr);
        }
        ++handed;
        // A batch of queries for this controller takes seconds each; the manager hears from
        // the daemon between them.
        keepAlive_->beat();
        if (const int signal = pendingStopSignal(); signal != 0) {
            std::cout.flush();
            endByStopSignal(signal);
        }
    }
    return handed;
}

void Broadcaster::send(const std::string& text) {
    if (interface_ == kBridge) {
        if (socketFd_ < 0) {
            return;
        }
        if (sockets_.sendto(socketFd_, text, broadcastAddress_) >= 0) {
            return;
        }
        reportErrno("Broadcast failed: ");
        std::cerr << "Trying to send as raw package\n";
    }
    sendRaw(text);
}

void Broadcaster::sendRaw(const std::string& text) {
    if (text.size() > kMaxRawText) {
        std::cerr << "Discarding oversize message: " << text.size() << '\n';
        return;
    }
    sendRawFrame(text);
}

bool Broadcaster::switchOn(int fd, int level, int option) {
    const int on = 1;
    return sockets_.setsockopt(fd, level, option, &on, sizeof on) >= 0;
}

void Broadcaster::sendRawFrame(const std::string& text) {
    const ScopedSocket raw(sockets_,
                           sockets_.socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW));
    if (raw.fd() < 0) {
        reportErrno("Failed to create raw socket: ");
        return;
    }
    if (!switchOn(raw.fd(), SOL_SOCKET, SO_BROADCAST)) {
        reportErrno("Error setting socket broadcast option: ");
        return;
    }
    if (!switchOn(raw.fd(), IPPROTO_IP, IP_HDRINCL)) {
        reportErrno("Error setting socket hdrincl option: ");
        return;
    }
    // Bound to the device so the frame leaves by this interface whatever the routes say.
    if (sockets_.setsockopt(raw.fd(), SOL_SOCKET, SO_BINDTODEVICE, interface_.c_str(),
                            static_cast<socklen_t>(interface_.size() + 1)) < 0) {
        const int error = errno;
        std::cerr << "Error binding to " << interface_ << " interface: " << error << '\n';
        return;
    }
    const sockaddr_in destination = ipv4Address(kRawFramePort, htonl(INADDR_BROADCAST));
    if (sockets_.sendto(raw.fd(), buildRawFrame(text), destination) < 0) {
        reportErrno("Failed to send raw data: ");
    }
}

}  // namespace krvd
