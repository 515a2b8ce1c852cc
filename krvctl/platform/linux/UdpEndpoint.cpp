#include "krvctl/platform/linux/UdpEndpoint.h"

#include <arpa/inet.h>
#include <linux/sock_diag.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include "protocol/Wire.h"

namespace krvctl {

namespace {

volatile std::sig_atomic_t interruptRequested = 0;

// Room for a controller answering at once with every other: about 1000 STATUS replies.
constexpr int kWantedReceiveBuffer = 8 * 1024 * 1024;
// Larger than any reply the daemon can build; a longer datagram is cut to this.
constexpr std::size_t kDatagramRoom = 16 * 1024;
constexpr unsigned kBatch = 32;

std::string errorText(int error) {
    return std::strerror(error);
}

sockaddr_in portAddress(in_addr_t address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(krv::wire::kPort);
    socketAddress.sin_addr.s_addr = address;
    return socketAddress;
}

bool switchOn(int fd, int level, int option) {
    const int on = 1;
    return ::setsockopt(fd, level, option, &on, sizeof on) == 0;
}

// Asks for the whole buffer; beyond net.core.rmem_max only a privileged process gets it, and
// what a smaller one loses is counted by dropped().
void sizeReceiveBuffer(int fd) {
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kWantedReceiveBuffer,
                     sizeof kWantedReceiveBuffer) != 0) {
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kWantedReceiveBuffer, sizeof kWantedReceiveBuffer);
    }
}

void onInterrupt(int) {
    interruptRequested = 1;
}

}  // namespace

OpenedEndpoint UdpEndpoint::open(const std::string& interface) {
    OpenedEndpoint opened;
    const auto fail = [&opened](ExitStatus status, std::string problem) {
        opened.failure = status;
        opened.problem = std::move(problem);
        return std::move(opened);
    };
    if (!interface.empty() &&
        (interface.size() >= IFNAMSIZ || ::if_nametoindex(interface.c_str()) == 0)) {
        return fail(kUsage, "--interface: no network interface named '" + interface + "'");
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return fail(kUnavailable, "cannot open a UDP socket: " + errorText(errno));
    }
    auto endpoint = std::make_unique<UdpEndpoint>(fd);
    if (!switchOn(fd, SOL_SOCKET, SO_REUSEADDR) || !switchOn(fd, SOL_SOCKET, SO_BROADCAST)) {
        return fail(kUnavailable, "cannot configure the UDP socket: " + errorText(errno));
    }
    sizeReceiveBuffer(fd);
    if (!interface.empty() && ::setsockopt(fd, SOL_SOCKET, SO_BINDTODEVICE, interface.c_str(),
                                           static_cast<socklen_t>(interface.size())) != 0) {
        return fail(kUnavailable,
                    "cannot limit the socket to " + interface + ": " + errorText(errno));
    }
    const sockaddr_in any = portAddress(htonl(INADDR_ANY));
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        const int error = errno;
        const std::string port = std::to_string(krv::wire::kPort);
        if (error == EADDRINUSE) {
            return fail(kUnavailable,
                        "UDP port " + port +
                            " is held by a program that does not share it (no SO_REUSEADDR); "
                            "'ss -ulpn sport = :" +
                            port + "' shows which");
        }
        return fail(kUnavailable, "cannot listen on UDP port " + port + ": " + errorText(error));
    }
    opened.endpoint = std::move(endpoint);
    return opened;
}

UdpEndpoint::UdpEndpoint(int fd) : fd_(fd), buffers_(kBatch, std::string(kDatagramRoom, '\0')) {}

UdpEndpoint::~UdpEndpoint() {
    ::close(fd_);
}

bool UdpEndpoint::broadcast(const std::string& bytes, std::string& problem) {
    const sockaddr_in everyone = portAddress(htonl(INADDR_BROADCAST));
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&everyone), sizeof everyone);
    if (sent == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    const int error = sent < 0 ? errno : EMSGSIZE;
    problem = errorText(error);
    if (error == ENETUNREACH) {
        problem += " (no route for 255.255.255.255; is the network up? --interface picks one)";
    }
    return false;
}

bool UdpEndpoint::drainQueued() {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::array<sockaddr_in, kBatch> senders{};
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers_[i].data(), buffers_[i].size()};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
    }
    const int count = ::recvmmsg(fd_, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        char sender[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &senders[i].sin_addr, sender, sizeof sender);
        const std::size_t length = std::min<std::size_t>(messages[i].msg_len, kDatagramRoom);
        pending_.push_back({buffers_[i].substr(0, length), sender});
    }
    return true;
}

std::optional<ReceivedDatagram> UdpEndpoint::receive(
    std::chrono::steady_clock::time_point deadline) {
    while (pending_.empty()) {
        if (drainQueued()) {
            break;
        }
        if (interrupted()) {
            return std::nullopt;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return std::nullopt;
        }
        int waitMs = -1;
        if (deadline != std::chrono::steady_clock::time_point::max()) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), 60 * 60 * 1000));
        }
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, waitMs) == 0) {
            return std::nullopt;
        }
    }
    ReceivedDatagram next = std::move(pending_.front());
    pending_.pop_front();
    return next;
}

std::uint64_t UdpEndpoint::dropped() const {
    // The socket's own drop count, so a partial list never passes for a whole one.
    std::array<std::uint32_t, SK_MEMINFO_VARS> memory{};
    socklen_t length = sizeof memory;
    if (::getsockopt(fd_, SOL_SOCKET, SO_MEMINFO, memory.data(), &length) != 0) {
        return 0;
    }
    return memory[SK_MEMINFO_DROPS];
}

bool UdpEndpoint::interrupted() const {
    return interruptRequested != 0;
}

OpenedEndpoint openLanEndpoint(const std::string& interface) {
    return UdpEndpoint::open(interface);
}

void stopWaitingOnInterrupt() {
    struct sigaction action {};
    action.sa_handler = onInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: the wait in poll must end with EINTR.
    action.sa_flags = 0;
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

void awaitInterrupt() {
    // The signal may land on any thread; this one only looks at the flag it leaves.
    while (interruptRequested == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
}

}  // namespace krvctl
