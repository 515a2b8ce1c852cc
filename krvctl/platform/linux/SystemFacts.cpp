#include "krvctl/platform/SystemFacts.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "protocol/Wire.h"

extern char** environ;

namespace krvctl {

namespace {

class UniqueFd {
  public:
    explicit UniqueFd(int fd = -1) : fd_(fd) {}
    ~UniqueFd() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    int get() const { return fd_; }
    void reset() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = -1;
    }

  private:
    int fd_;
};

// /proc/net/udp prints each address word as the host's own 32-bit number of the network-order
// bytes, so reading it back into the same word restores the bytes on any byte order.
std::string addressFromProcHex(const std::string& hex) {
    if (hex.size() == 8) {
        in_addr address{};
        address.s_addr = static_cast<std::uint32_t>(std::stoul(hex, nullptr, 16));
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address, text, sizeof text);
        return text;
    }
    if (hex.size() == 32) {
        in6_addr address{};
        for (int word = 0; word < 4; ++word) {
            const auto value =
                static_cast<std::uint32_t>(std::stoul(hex.substr(word * 8, 8), nullptr, 16));
            std::memcpy(&address.s6_addr[word * 4], &value, sizeof value);
        }
        char text[INET6_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET6, &address, text, sizeof text);
        return text;
    }
    return "?";
}

bool isHexText(const std::string& text) {
    return !text.empty() && text.size() <= 32 &&
           std::all_of(text.begin(), text.end(), [](char c) { return std::isxdigit(c) != 0; });
}

// Sockets bound to port in one of /proc/net/udp and udp6, by inode.
void readUdpTable(const std::string& path, std::uint16_t port,
                  std::map<std::string, PortHolder>& byInode) {
    std::ifstream table(path);
    std::string line;
    std::getline(table, line);  // the heading
    // The table has one line per UDP socket of the namespace; a bound keeps a flood from
    // holding the diagnosis up.
    for (int lines = 0; lines < 1'000'000 && std::getline(table, line); ++lines) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode)) {
            continue;
        }
        const auto colon = local.find(':');
        if (colon == std::string::npos || !isHexText(local.substr(0, colon)) ||
            !isHexText(local.substr(colon + 1)) || local.size() - colon - 1 > 4 ||
            std::stoul(local.substr(colon + 1), nullptr, 16) != port) {
            continue;
        }
        PortHolder holder;
        holder.address = addressFromProcHex(local.substr(0, colon));
        holder.uid =
            !uid.empty() && uid.size() < 12 && std::all_of(uid.begin(), uid.end(), ::isdigit)
                ? std::stoll(uid)
                : -1;
        byInode[inode] = holder;
    }
}

std::string firstLineOf(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

// Runs a program and returns what it wrote, at most limit bytes within the time given; empty
// with why set when it could not run or did not finish.
std::string outputOf(const std::vector<std::string>& argv, std::chrono::milliseconds within,
                     std::size_t limit, std::string& why) {
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        why = std::strerror(errno);
        return "";
    }
    UniqueFd reading(ends[0]);
    UniqueFd writing(ends[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, writing.get(), STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    std::vector<char*> arguments;
    for (const std::string& argument : argv) {
        arguments.push_back(const_cast<char*>(argument.c_str()));
    }
    arguments.push_back(nullptr);
    pid_t child = 0;
    const int spawned =
        ::posix_spawnp(&child, argv[0].c_str(), &actions, nullptr, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    writing.reset();
    if (spawned != 0) {
        why = argv[0] + ": " + std::strerror(spawned);
        return "";
    }
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + within;
    bool finished = false;
    while (output.size() < limit) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            break;
        }
        pollfd entry{reading.get(), POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(left.count())) <= 0) {
            continue;
        }
        char buffer[4096];
        const ssize_t count = ::read(reading.get(), buffer, sizeof buffer);
        if (count <= 0) {
            finished = count == 0;
            break;
        }
        output.append(buffer, static_cast<std::size_t>(count));
    }
    int status = 0;
    if (!finished) {
        ::kill(child, SIGKILL);
    }
    ::waitpid(child, &status, 0);
    if (!finished) {
        why = argv[0] + " did not finish in time";
        return "";
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        why = argv[0] + " failed (exit status " +
              std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : -1) + ")";
        return "";
    }
    return output;
}

}  // namespace

BroadcastRoute findBroadcastRoute(const std::vector<NetworkInterface>& interfaces) {
    BroadcastRoute route;
    UniqueFd probe(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    const int on = 1;
    if (probe.get() < 0 ||
        ::setsockopt(probe.get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0) {
        route.problem = std::strerror(errno);
        return route;
    }
    // A connected datagram socket asks the routing table and sends nothing.
    sockaddr_in everyone{};
    everyone.sin_family = AF_INET;
    everyone.sin_port = htons(krv::wire::kPort);
    everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    if (::connect(probe.get(), reinterpret_cast<const sockaddr*>(&everyone), sizeof everyone) !=
        0) {
        route.problem = std::strerror(errno);
        return route;
    }
    sockaddr_in source{};
    socklen_t length = sizeof source;
    if (::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&source), &length) != 0) {
        route.problem = std::strerror(errno);
        return route;
    }
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &source.sin_addr, text, sizeof text);
    route.sourceAddress = text;
    for (const NetworkInterface& interface : interfaces) {
        for (const InterfaceAddress& address : interface.ipv4) {
            if (address.address == route.sourceAddress && route.interface.empty()) {
                route.interface = interface.name;
            }
        }
    }
    return route;
}

namespace {

// Binds the port as krvctl does and lets go again at once.
bool portRefusesSharing(std::uint16_t port) {
    const UniqueFd fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
    const int on = 1;
    if (fd.get() < 0 || ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
        return false;
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(port);
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    return ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0 &&
           errno == EADDRINUSE;
}

}  // namespace

PortFacts findPortHolders(std::uint16_t port) {
    PortFacts facts;
    facts.refusesSharing = portRefusesSharing(port);
    std::map<std::string, PortHolder> byInode;
    readUdpTable("/proc/net/udp", port, byInode);
    readUdpTable("/proc/net/udp6", port, byInode);
    if (byInode.empty()) {
        return facts;
    }
    facts.otherUsersHidden = ::geteuid() != 0;
    const std::string self = std::to_string(::getpid());
    std::error_code error;
    std::map<std::string, bool> ownSockets;
    // Every descriptor of every process this user may look into: bounded, since a machine
    // with a million open descriptors should not hold the diagnosis up for long.
    std::size_t looked = 0;
    for (auto process = std::filesystem::directory_iterator("/proc", error);
         !error && process != std::filesystem::directory_iterator() && looked < 2'000'000;
         process.increment(error)) {
        const std::string pid = process->path().filename().string();
        if (pid.empty() || pid.size() > 12 || !std::all_of(pid.begin(), pid.end(), ::isdigit)) {
            continue;
        }
        std::error_code unreadable;
        for (auto fd = std::filesystem::directory_iterator(process->path() / "fd", unreadable);
             !unreadable && fd != std::filesystem::directory_iterator() && looked < 2'000'000;
             fd.increment(unreadable), ++looked) {
            std::error_code gone;
            const std::string target = std::filesystem::read_symlink(fd->path(), gone).string();
            if (gone || target.rfind("socket:[", 0) != 0) {
                continue;
            }
            const std::string inode = target.substr(8, target.size() - 9);
            const auto held = byInode.find(inode);
            if (held == byInode.end()) {
                continue;
            }
            if (pid == self) {
                ownSockets[inode] = true;
                continue;
            }
            held->second.pid = std::stoll(pid);
            held->second.program = firstLineOf(process->path() / "comm");
        }
    }
    for (const auto& [inode, holder] : byInode) {
        if (!ownSockets.count(inode)) {
            facts.holders.push_back(holder);
        }
    }
    return facts;
}

FirewallFacts readFirewallRules() {
    FirewallFacts facts;
    if (::geteuid() != 0) {
        facts.whyNotRead = "reading the firewall's rules needs root";
        return facts;
    }
    // A ruleset of thousands of rules is a few hundred kilobytes.
    facts.rules = outputOf({"nft", "list", "ruleset"}, std::chrono::seconds(2), 4 * 1024 * 1024,
                           facts.whyNotRead);
    facts.rulesRead = facts.whyNotRead.empty();
    return facts;
}

PlatformAdvice platformAdvice() {
    PlatformAdvice advice;
    advice.bringUp = "sudo ip link set {interface} up";
    advice.giveStaticAddress = "sudo ip addr add {address}/{prefix} dev {interface}";
    advice.allowInbound =
        "sudo nft insert rule inet filter input udp dport {port} accept (ufw: sudo ufw allow "
        "{port}/udp; firewalld: sudo firewall-cmd --add-port={port}/udp)";
    advice.showFirewallRules = "sudo nft list ruleset | grep -n {port}";
    advice.showPortHolders = "sudo ss -ulpn 'sport = :{port}'";
    return advice;
}

SystemFacts gatherSystemFacts(std::uint16_t port) {
    SystemFacts facts;
    facts.interfaces = listNetworkInterfaces();
    facts.broadcastRoute = findBroadcastRoute(facts.interfaces.interfaces);
    facts.port = findPortHolders(port);
    facts.firewall = readFirewallRules();
    facts.advice = platformAdvice();
    return facts;
}

}  // namespace krvctl
