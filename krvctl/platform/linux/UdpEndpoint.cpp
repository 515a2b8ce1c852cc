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
constexpr auto kRelistAfter = std::chrono::seconds(1);

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

OpenedEndpoint UdpEndpoint::open(const std::vector<std::string>& interfaces) {
    OpenedEndpoint opened;
    const auto fail = [&opened](ExitStatus status, std::string problem) {
        opened.failure = status;
        opened.problem = std::move(problem);
        return std::move(opened);
    };
    if (!interfaces.empty()) {
        const InterfaceListing listing = listNetworkInterfaces();
        if (!listing.problem.empty()) {
            return fail(kUnavailable, listing.problem);
        }
        const InterfaceChoice choice = chooseInterfaces(listing, interfaces);
        if (!choice.problem.empty()) {
            return fail(kUsage, choice.problem);
        }
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return fail(kUnavailable, "cannot open a UDP socket: " + errorText(errno));
    }
    auto endpoint = std::make_unique<UdpEndpoint>(fd, interfaces);
    if (!switchOn(fd, SOL_SOCKET, SO_REUSEADDR) || !switchOn(fd, SOL_SOCKET, SO_BROADCAST) ||
        !switchOn(fd, IPPROTO_IP, IP_PKTINFO)) {
        return fail(kUnavailable, "cannot configure the UDP socket: " + errorText(errno));
    }
    sizeReceiveBuffer(fd);
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
    endpoint->followInterfaces(true);
    opened.endpoint = std::move(endpoint);
    return opened;
}

UdpEndpoint::UdpEndpoint(int fd, std::vector<std::string> named)
    : fd_(fd), named_(std::move(named)), buffers_(kBatch, std::string(kDatagramRoom, '\0')) {}

UdpEndpoint::~UdpEndpoint() {
    ::close(fd_);
}

void UdpEndpoint::followInterfaces(bool now) {
    const auto moment = std::chrono::steady_clock::now();
    if (!now && moment - listedAt_ < kRelistAfter) {
        return;
    }
    listedAt_ = moment;
    const InterfaceListing listing = listNetworkInterfaces();
    if (!listing.problem.empty()) {
        return;  // the last good listing stays
    }
    const InterfaceChoice choice = chooseInterfaces(listing, named_);
    // A named interface that went away keeps its place: its sends fail and say so.
    if (!choice.problem.empty()) {
        return;
    }
    std::vector<Searched> searched;
    for (const NetworkInterface& interface : choice.chosen) {
        searched.push_back({interface.name, interface.index});
    }
    const std::lock_guard lock(searchedMutex_);
    searched_ = std::move(searched);
    nameOfIndex_.clear();
    for (const NetworkInterface& interface : listing.interfaces) {
        nameOfIndex_.emplace(interface.index, interface.name);
    }
}

std::vector<std::string> UdpEndpoint::interfaces() const {
    const std::lock_guard lock(searchedMutex_);
    std::vector<std::string> names;
    for (const Searched& interface : searched_) {
        names.push_back(interface.name);
    }
    return names;
}

bool UdpEndpoint::sendOn(const std::string& bytes, unsigned index, std::string& problem) {
    sockaddr_in everyone = portAddress(htonl(INADDR_BROADCAST));
    iovec vector{const_cast<char*>(bytes.data()), bytes.size()};
    alignas(cmsghdr) std::array<char, CMSG_SPACE(sizeof(in_pktinfo))> control{};
    msghdr message{};
    message.msg_name = &everyone;
    message.msg_namelen = sizeof everyone;
    message.msg_iov = &vector;
    message.msg_iovlen = 1;
    message.msg_control = control.data();
    message.msg_controllen = control.size();
    cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = IPPROTO_IP;
    header->cmsg_type = IP_PKTINFO;
    header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
    in_pktinfo leaveBy{};
    leaveBy.ipi_ifindex = static_cast<int>(index);
    std::memcpy(CMSG_DATA(header), &leaveBy, sizeof leaveBy);
    const ssize_t sent = ::sendmsg(fd_, &message, 0);
    if (sent == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    problem = errorText(sent < 0 ? errno : EMSGSIZE);
    return false;
}

bool UdpEndpoint::sendByRoute(const std::string& bytes, std::string& problem) {
    const sockaddr_in everyone = portAddress(htonl(INADDR_BROADCAST));
    const ssize_t sent = ::sendto(fd_, bytes.data(), bytes.size(), 0,
                                  reinterpret_cast<const sockaddr*>(&everyone), sizeof everyone);
    if (sent == static_cast<ssize_t>(bytes.size())) {
        return true;
    }
    const int error = sent < 0 ? errno : EMSGSIZE;
    problem = errorText(error);
    if (error == ENETUNREACH) {
        problem +=
            " (no interface is up with an IPv4 address that can broadcast; is the network up? "
            "--interface picks one)";
    }
    return false;
}

bool UdpEndpoint::broadcast(const std::string& bytes, std::string& problem,
                            const std::string& interface) {
    followInterfaces();
    std::vector<Searched> targets;
    {
        const std::lock_guard lock(searchedMutex_);
        for (const Searched& searched : searched_) {
            if (interface.empty() || searched.name == interface) {
                targets.push_back(searched);
            }
        }
    }
    if (targets.empty()) {
        if (!interface.empty()) {
            problem = interface + " is no longer searched";
            return false;
        }
        // Nothing to choose from (a machine with loopback only, say): the system decides.
        return sendByRoute(bytes, problem);
    }
    std::string failures;
    std::size_t left = 0;
    for (const Searched& target : targets) {
        std::string why;
        if (sendOn(bytes, target.index, why)) {
            ++left;
        } else {
            failures += (failures.empty() ? "" : "; ") + target.name + ": " + why;
        }
    }
    if (left == 0) {
        problem = failures;
        // An interface re-created under the same name has a new index.
        followInterfaces(true);
    }
    return left > 0;
}

std::optional<std::string> UdpEndpoint::acceptedFrom(unsigned index) {
    const std::lock_guard lock(searchedMutex_);
    for (const Searched& searched : searched_) {
        if (searched.index == index) {
            return searched.name;
        }
    }
    if (!named_.empty()) {
        return std::nullopt;  // another network than the one asked for
    }
    const auto known = nameOfIndex_.find(index);
    if (known != nameOfIndex_.end()) {
        return known->second;
    }
    char name[IF_NAMESIZE] = {};
    return ::if_indextoname(index, name) != nullptr ? std::string(name) : std::string();
}

bool UdpEndpoint::drainQueued() {
    std::array<mmsghdr, kBatch> messages{};
    std::array<iovec, kBatch> vectors{};
    std::array<sockaddr_in, kBatch> senders{};
    constexpr std::size_t kControlRoom = CMSG_SPACE(sizeof(in_pktinfo));
    alignas(cmsghdr) std::array<std::array<char, kControlRoom>, kBatch> controls{};
    for (unsigned i = 0; i < kBatch; ++i) {
        vectors[i] = {buffers_[i].data(), buffers_[i].size()};
        messages[i].msg_hdr.msg_iov = &vectors[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &senders[i];
        messages[i].msg_hdr.msg_namelen = sizeof senders[i];
        messages[i].msg_hdr.msg_control = controls[i].data();
        messages[i].msg_hdr.msg_controllen = kControlRoom;
    }
    const int count = ::recvmmsg(fd_, messages.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (count <= 0) {
        return false;
    }
    for (int i = 0; i < count; ++i) {
        std::optional<std::string> arrivedOn = std::string();
        msghdr& header = messages[i].msg_hdr;
        for (cmsghdr* item = CMSG_FIRSTHDR(&header); item != nullptr;
             item = CMSG_NXTHDR(&header, item)) {
            if (item->cmsg_level == IPPROTO_IP && item->cmsg_type == IP_PKTINFO) {
                in_pktinfo info{};
                std::memcpy(&info, CMSG_DATA(item), sizeof info);
                arrivedOn = acceptedFrom(static_cast<unsigned>(info.ipi_ifindex));
            }
        }
        if (!arrivedOn) {
            continue;
        }
        char sender[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &senders[i].sin_addr, sender, sizeof sender);
        const std::size_t length = std::min<std::size_t>(messages[i].msg_len, kDatagramRoom);
        pending_.push_back({buffers_[i].substr(0, length), sender, std::move(*arrivedOn)});
    }
    return true;
}

std::optional<ReceivedDatagram> UdpEndpoint::receive(
    std::chrono::steady_clock::time_point deadline) {
    while (pending_.empty()) {
        // A batch may hold only datagrams of networks not searched.
        const bool drained = drainQueued();
        if (!pending_.empty()) {
            break;
        }
        if (interrupted()) {
            return std::nullopt;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return std::nullopt;
        }
        if (drained) {
            continue;
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

OpenedEndpoint openLanEndpoint(const std::vector<std::string>& interfaces) {
    return UdpEndpoint::open(interfaces);
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
