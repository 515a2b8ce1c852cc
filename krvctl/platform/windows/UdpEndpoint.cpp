#include "krvctl/platform/windows/UdpEndpoint.h"

// Winsock 2 before windows.h, which would otherwise bring the old Winsock's.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <mswsock.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "krvctl/platform/LanSocket.h"
#include "krvctl/platform/NetworkInterfaces.h"
#include "krvctl/values/ExitStatus.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace {

std::atomic<bool> interruptRequested = false;

// Room for a controller answering at once with every other: about 1000 STATUS replies.
constexpr int kWantedReceiveBuffer = 8 * 1024 * 1024;
// Larger than any reply the daemon can build; a longer datagram is cut to this.
constexpr std::size_t kDatagramRoom = 16 * 1024;
constexpr unsigned kBatch = 32;
// Ctrl-C arrives on a thread of its own and cannot end a wait: waits are sliced this fine.
constexpr int kLongestWaitMs = 100;
constexpr auto kRelistAfter = std::chrono::seconds(1);

sockaddr_in portAddress(const in_addr& address) {
    sockaddr_in socketAddress{};
    socketAddress.sin_family = AF_INET;
    socketAddress.sin_port = htons(krv::wire::kPort);
    socketAddress.sin_addr = address;
    return socketAddress;
}

bool switchOn(SOCKET socket, int option) {
    const BOOL on = TRUE;
    return ::setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&on),
                        sizeof on) == 0;
}

std::string portHeldHint() {
    const std::string port = std::to_string(krv::wire::kPort);
    return "UDP port " + port +
           " is held by a program that does not share it; 'netstat -ano -p udp' shows its "
           "process id beside :" +
           port + ", 'tasklist /fi \"PID eq ID\"' its name";
}

// A socket bound to one adapter address; the problem when it cannot be had.
windows::OwnedSocket openBound(const windows::AdapterAddress& at, std::string& problem) {
    in_addr address{};
    if (::inet_pton(AF_INET, at.address.c_str(), &address) != 1) {
        problem = "the address " + at.address + " of \"" + at.adapter + "\" is not IPv4";
        return {};
    }
    windows::OwnedSocket socket(
        ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
    if (!socket.valid()) {
        problem = "cannot open a UDP socket: " + windows::errorText(::WSAGetLastError());
        return {};
    }
    if (!switchOn(socket.get(), SO_REUSEADDR) || !switchOn(socket.get(), SO_BROADCAST)) {
        problem = "cannot configure the UDP socket: " + windows::errorText(::WSAGetLastError());
        return {};
    }
    // Asked for in full; what Windows does not grant it does not say.
    ::setsockopt(socket.get(), SOL_SOCKET, SO_RCVBUF,
                 reinterpret_cast<const char*>(&kWantedReceiveBuffer), sizeof kWantedReceiveBuffer);
    // A broadcast that met a closed port elsewhere must not fail the next receive.
    BOOL reportResets = FALSE;
    DWORD returned = 0;
    ::WSAIoctl(socket.get(), SIO_UDP_CONNRESET, &reportResets, sizeof reportResets, nullptr, 0,
               &returned, nullptr, nullptr);
    u_long nonBlocking = 1;
    ::ioctlsocket(socket.get(), FIONBIO, &nonBlocking);
    const sockaddr_in bound = portAddress(address);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&bound), sizeof bound) != 0) {
        const int error = ::WSAGetLastError();
        if (error == WSAEADDRINUSE || error == WSAEACCES) {
            problem = portHeldHint();
        } else {
            problem = "cannot listen on UDP port " + std::to_string(krv::wire::kPort) + " of " +
                      at.address + " (\"" + at.adapter + "\"): " + windows::errorText(error);
        }
        return {};
    }
    return socket;
}

BOOL WINAPI onConsoleControl(DWORD event) {
    if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT || event == CTRL_CLOSE_EVENT) {
        interruptRequested = true;
        return TRUE;
    }
    return FALSE;
}

}  // namespace

namespace windows {

OpenedEndpoint UdpEndpoint::open(const std::vector<std::string>& interfaces) {
    OpenedEndpoint opened;
    const auto fail = [&opened](int status, std::string problem) {
        opened.failure = status;
        opened.problem = std::move(problem);
        return std::move(opened);
    };
    std::string problem;
    if (!startWinsock(problem)) {
        return fail(kUnavailable, problem);
    }
    const AdapterListing adapters = listAdapters();
    if (!adapters.listing.problem.empty()) {
        return fail(kUnavailable, adapters.listing.problem);
    }
    std::vector<std::string> named = listedNames(adapters, interfaces);
    const InterfaceChoice choice = chooseInterfaces(adapters.listing, named);
    if (!choice.problem.empty()) {
        return fail(kUsage, choice.problem);
    }
    auto endpoint = std::make_unique<UdpEndpoint>(std::move(named));
    // Later, an address that cannot be had leaves the others searched; at the start it is the
    // answer (most often the port held by a program that does not share it).
    problem = endpoint->followAdapters(true);
    if (!problem.empty()) {
        return fail(kUnavailable, problem);
    }
    opened.endpoint = std::move(endpoint);
    return opened;
}

UdpEndpoint::UdpEndpoint(std::vector<std::string> named)
    : named_(std::move(named)), buffer_(kDatagramRoom, '\0') {}

std::string UdpEndpoint::followAdapters(bool now) {
    const auto moment = std::chrono::steady_clock::now();
    if (!now && moment - listedAt_ < kRelistAfter) {
        return {};
    }
    listedAt_ = moment;
    const AdapterListing adapters = listAdapters();
    if (!adapters.listing.problem.empty()) {
        return {};  // the last good listing stays
    }
    const InterfaceChoice choice = chooseInterfaces(adapters.listing, named_);
    // A named adapter that went away keeps its sockets: their sends fail and say so.
    if (!choice.problem.empty()) {
        return {};
    }
    std::string firstProblem;
    std::vector<BoundSocket> kept;
    for (AdapterAddress& at : addressesToBind(choice.chosen)) {
        const auto open = std::find_if(sockets_.begin(), sockets_.end(), [&](const auto& bound) {
            return bound.at.adapter == at.adapter && bound.at.address == at.address;
        });
        if (open != sockets_.end()) {
            kept.push_back(std::move(*open));
            continue;
        }
        std::string problem;
        OwnedSocket socket = openBound(at, problem);
        if (socket.valid()) {
            kept.push_back({std::move(at), std::move(socket)});
        } else if (firstProblem.empty()) {
            firstProblem = std::move(problem);
        }
    }
    sockets_ = std::move(kept);
    std::vector<std::string> searched;
    for (const NetworkInterface& adapter : choice.chosen) {
        searched.push_back(adapter.name);
    }
    std::string there;
    for (const NetworkInterface& adapter : adapters.listing.interfaces) {
        if (!adapter.loopback) {
            there += (there.empty() ? "\"" : ", \"") + adapter.name + "\"";
        }
    }
    const std::lock_guard lock(searchedMutex_);
    searched_ = std::move(searched);
    adapterList_ = there.empty() ? "none" : there;
    return firstProblem;
}

std::vector<std::string> UdpEndpoint::interfaces() const {
    const std::lock_guard lock(searchedMutex_);
    return searched_;
}

bool UdpEndpoint::broadcast(const std::string& bytes, std::string& problem,
                            const std::string& interface) {
    followAdapters();
    in_addr everyone{};
    everyone.s_addr = htonl(INADDR_BROADCAST);
    const sockaddr_in to = portAddress(everyone);
    std::vector<std::string> targets;
    std::string adapterList;
    {
        const std::lock_guard lock(searchedMutex_);
        for (const std::string& searched : searched_) {
            if (interface.empty() || searched == interface) {
                targets.push_back(searched);
            }
        }
        adapterList = adapterList_;
    }
    if (targets.empty()) {
        problem = !interface.empty() ? "\"" + interface + "\" is no longer searched"
                                     : "no network adapter is up with an IPv4 address to search "
                                       "(adapters: " +
                                           adapterList + ")";
        return false;
    }
    std::size_t left = 0;
    std::string failures;
    for (const std::string& adapter : targets) {
        // Once by each adapter: every address's socket hears the replies, which are broadcasts,
        // so one more copy of a request would only be answered twice.
        bool sent = false;
        std::string why = "no IPv4 address";
        for (const BoundSocket& bound : sockets_) {
            if (sent || bound.at.adapter != adapter) {
                continue;
            }
            const int count =
                ::sendto(bound.socket.get(), bytes.data(), static_cast<int>(bytes.size()), 0,
                         reinterpret_cast<const sockaddr*>(&to), sizeof to);
            sent = count == static_cast<int>(bytes.size());
            if (!sent) {
                why = bound.at.address + ": " +
                      errorText(count < 0 ? ::WSAGetLastError() : WSAEMSGSIZE);
            }
        }
        if (sent) {
            ++left;
        } else {
            failures += (failures.empty() ? "\"" : "; \"") + adapter + "\": " + why;
        }
    }
    // One adapter that carried it is a search; the others' failures are for --interface.
    if (left == 0) {
        problem = failures;
    }
    return left > 0;
}

bool UdpEndpoint::drainReadable(const std::vector<bool>& readable) {
    bool any = false;
    for (std::size_t i = 0; i < sockets_.size(); ++i) {
        if (!readable[i]) {
            continue;
        }
        for (unsigned n = 0; n < kBatch; ++n) {
            sockaddr_in sender{};
            int senderLength = sizeof sender;
            const int got = ::recvfrom(sockets_[i].socket.get(), buffer_.data(),
                                       static_cast<int>(buffer_.size()), 0,
                                       reinterpret_cast<sockaddr*>(&sender), &senderLength);
            const bool cut = got < 0 && ::WSAGetLastError() == WSAEMSGSIZE;
            if (got < 0 && !cut) {
                break;
            }
            char from[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &sender.sin_addr, from, sizeof from);
            const std::size_t length = cut ? buffer_.size() : static_cast<std::size_t>(got);
            pending_.push_back({buffer_.substr(0, length), from, sockets_[i].at.adapter});
            any = true;
        }
    }
    return any;
}

std::optional<ReceivedDatagram> UdpEndpoint::receive(
    std::chrono::steady_clock::time_point deadline) {
    std::vector<WSAPOLLFD> entries(sockets_.size());
    std::vector<bool> readable(sockets_.size(), true);
    while (pending_.empty()) {
        if (drainReadable(readable)) {
            break;
        }
        if (interrupted()) {
            return std::nullopt;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            return std::nullopt;
        }
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
        const int waitMs = static_cast<int>(std::min<std::int64_t>(left.count(), kLongestWaitMs));
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            entries[i] = {sockets_[i].socket.get(), POLLRDNORM, 0};
        }
        const int ready = ::WSAPoll(entries.data(), static_cast<ULONG>(entries.size()), waitMs);
        for (std::size_t i = 0; i < sockets_.size(); ++i) {
            readable[i] = ready > 0 && entries[i].revents != 0;
        }
    }
    ReceivedDatagram next = std::move(pending_.front());
    pending_.pop_front();
    return next;
}

bool UdpEndpoint::interrupted() const {
    return interruptRequested;
}

}  // namespace windows

OpenedEndpoint openLanEndpoint(const std::vector<std::string>& interfaces) {
    return windows::UdpEndpoint::open(interfaces);
}

void stopWaitingOnInterrupt() {
    ::SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

void awaitInterrupt() {
    while (!interruptRequested) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kLongestWaitMs));
    }
}

}  // namespace krvctl
