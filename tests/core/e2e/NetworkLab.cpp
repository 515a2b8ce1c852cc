#include "tests/core/e2e/NetworkLab.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "tests/support/WireBytes.h"

extern char** environ;

namespace krvd::e2e {

namespace {

using Clock = std::chrono::steady_clock;

std::vector<char*> argumentVector(std::vector<std::string>& argv) {
    std::vector<char*> pointers;
    for (auto& argument : argv) {
        pointers.push_back(argument.data());
    }
    pointers.push_back(nullptr);
    return pointers;
}

pid_t spawn(std::vector<std::string> argv, const std::string& out, const std::string& err,
            bool closeInput) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (closeInput) {
        posix_spawn_file_actions_addclose(&actions, 0);
    } else {
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    auto pointers = argumentVector(argv);
    if (posix_spawnp(&pid, pointers[0], &actions, nullptr, pointers.data(), environ) != 0) {
        pid = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

int exitStatus(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int waitFor(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) {
        return -1;
    }
    return exitStatus(status);
}

// Runs f with the calling thread inside the named network namespace; sockets opened there stay
// in it after the thread returns to its own.
template <typename F>
bool insideNamespace(const std::string& name, F f) {
    const int own = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = own >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
    if (entered) {
        f();
        setns(own, CLONE_NEWNET);
    }
    if (own >= 0) {
        close(own);
    }
    if (target >= 0) {
        close(target);
    }
    return entered;
}

// Opens a packet socket on "peer0" into fd; to be called inside the peer namespace.
bool bindPacketSocketToPeer(int& fd, int type, std::uint16_t protocol) {
    fd = socket(AF_PACKET, type | SOCK_CLOEXEC, htons(protocol));
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(protocol);
    link.sll_ifindex = static_cast<int>(if_nametoindex("peer0"));
    return fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&link), sizeof link) == 0;
}

bool waitReadable(int fd, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    pollfd entry{fd, POLLIN, 0};
    return poll(&entry, 1, static_cast<int>(left.count())) == 1;
}

}  // namespace

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool runInNamespace(const std::string& name, const std::function<void()>& f) {
    return insideNamespace(name, f);
}

int runQuietly(const std::vector<std::string>& argv) {
    const pid_t pid = spawn(argv, "/dev/null", "/dev/null", false);
    return pid < 0 ? -1 : waitFor(pid);
}

NetworkLab::NetworkLab(Side side) : side_(side) {
    static int counter = 0;
    const std::string suffix = std::to_string(getpid()) + "-" + std::to_string(++counter);
    controllerNs_ = "krv-ctl-" + suffix;
    peerNs_ = "krv-peer-" + suffix;
    if (geteuid() != 0) {
        failure_ = "needs root to create network namespaces";
        return;
    }
    for (std::string* name : {&controllerNs_, &peerNs_}) {
        if (runQuietly({"ip", "netns", "add", *name}) != 0) {
            failure_ = "ip netns add is not possible here";
            name->clear();
            return;
        }
    }
    const std::string& c = controllerNs_;
    const std::string& p = peerNs_;
    const std::string controllerSide = controllerInterface();
    bool ok =
        ip({"-n", c, "link", "add", "eth0", "type", "veth", "peer", "name", "peer0", "netns", p}) &&
        ip({"-n", c, "link", "set", "lo", "up"}) && ip({"-n", p, "link", "set", "lo", "up"});
    if (ok && side == Side::Bridge) {
        ok = ip({"-n", c, "link", "add", "br0", "type", "bridge"}) &&
             ip({"-n", c, "link", "set", "eth0", "master", "br0"}) &&
             ip({"-n", c, "link", "set", "br0", "up"});
    }
    ok = ok && ip({"-n", c, "link", "set", "eth0", "up"}) &&
         ip({"-n", c, "addr", "add", std::string(kControllerAddress) + "/24", "dev",
             controllerSide}) &&
         ip({"-n", c, "route", "add", "default", "via", kGatewayAddress}) &&
         ip({"-n", p, "addr", "add", std::string(kPeerAddress) + "/24", "dev", "peer0"}) &&
         ip({"-n", p, "link", "set", "peer0", "up"}) &&
         ip({"-n", p, "route", "add", "default", "via", kGatewayAddress});
    if (!ok && failure_.empty()) {
        failure_ = "could not build the namespaces' links";
    }
    if (ok && !awaitRunning(p, "peer0")) {
        failure_ = "peer0 did not come up within 20 s";
    }
}

NetworkLab::~NetworkLab() {
    // Deleting a namespace removes its interfaces, the veth pair included.
    for (const auto& name : {controllerNs_, peerNs_}) {
        if (!name.empty()) {
            runQuietly({"ip", "netns", "del", name});
        }
    }
}

int NetworkLab::bindUdpInController(std::uint16_t port) const {
    int fd = -1;
    insideNamespace(controllerNs_, [&fd, port] {
        fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_port = htons(port);
        if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            close(fd);
            fd = -1;
        }
    });
    return fd;
}

bool NetworkLab::ip(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {"ip"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    if (runQuietly(argv) == 0) {
        return true;
    }
    std::string command;
    for (const auto& argument : argv) {
        command += argument + " ";
    }
    failure_ = "failed: " + command;
    return false;
}

std::string addressAt(const std::string& packet, std::size_t offset) {
    if (packet.size() < offset + 4) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, packet.data() + offset, text, sizeof text);
    return text;
}

Peer::Peer(const NetworkLab& lab) {
    const bool entered = insideNamespace(lab.peerNamespace(), [this] {
        udp_ = openSetupPort();
        if (udp_ < 0) {
            failure_ = "peer cannot bind port 7217";
        }
        if (!bindPacketSocketToPeer(capture_, SOCK_DGRAM, ETH_P_IP)) {
            failure_ = "peer cannot capture on peer0";
        }
    });
    if (!entered) {
        failure_ = "cannot enter the peer namespace";
    }
}

Peer::~Peer() {
    for (const int fd : {udp_, capture_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

int openSetupPort() {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(7217);
    if (fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

namespace {

bool sendDatagram(int fd, const std::string& text, in_addr_t address) {
    sockaddr_in destination{};
    destination.sin_family = AF_INET;
    destination.sin_port = htons(7217);
    destination.sin_addr.s_addr = address;
    return sendto(fd, text.data(), text.size(), 0, reinterpret_cast<const sockaddr*>(&destination),
                  sizeof destination) == static_cast<ssize_t>(text.size());
}

}  // namespace

bool awaitRunning(const std::string& ns, const std::string& interface) {
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    for (;;) {
        bool running = false;
        insideNamespace(ns, [&] {
            const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            ifreq request{};
            std::strncpy(request.ifr_name, interface.c_str(), IFNAMSIZ - 1);
            running = fd >= 0 && ioctl(fd, SIOCGIFFLAGS, &request) == 0 &&
                      (request.ifr_flags & IFF_UP) != 0 && (request.ifr_flags & IFF_RUNNING) != 0;
            if (fd >= 0) {
                close(fd);
            }
        });
        if (running) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

bool broadcastDatagram(int fd, const std::string& text) {
    return sendDatagram(fd, text, htonl(INADDR_BROADCAST));
}

bool Peer::broadcast(const std::string& text) {
    return broadcastDatagram(udp_, text);
}

bool Peer::sendToController(const std::string& text) {
    return sendDatagram(udp_, text, inet_addr(kControllerAddress));
}

std::optional<ReceivedDatagram> Peer::receive(const std::string& prefix,
                                              std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (waitReadable(udp_, deadline)) {
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t count =
            recvfrom(udp_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) {
            continue;
        }
        ReceivedDatagram datagram{std::string(buffer, static_cast<std::size_t>(count)),
                                  inet_ntoa(sender.sin_addr), ntohs(sender.sin_port)};
        if (datagram.senderAddress != kPeerAddress && datagram.text.starts_with(prefix)) {
            return datagram;
        }
    }
    return std::nullopt;
}

std::vector<ReceivedDatagram> Peer::receiveQueued(const std::string& prefix) {
    std::vector<ReceivedDatagram> datagrams;
    for (;;) {
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t count = recvfrom(udp_, buffer, sizeof buffer, MSG_DONTWAIT,
                                       reinterpret_cast<sockaddr*>(&sender), &length);
        if (count < 0) {
            return datagrams;
        }
        ReceivedDatagram datagram{std::string(buffer, static_cast<std::size_t>(count)),
                                  inet_ntoa(sender.sin_addr), ntohs(sender.sin_port)};
        if (datagram.senderAddress != kPeerAddress && datagram.text.starts_with(prefix)) {
            datagrams.push_back(std::move(datagram));
        }
    }
}

std::optional<std::string> Peer::capture(const std::string& prefix,
                                         std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (waitReadable(capture_, deadline)) {
        char buffer[2048];
        const ssize_t count = recv(capture_, buffer, sizeof buffer, 0);
        if (count < 28) {
            continue;
        }
        const std::string packet(buffer, static_cast<std::size_t>(count));
        if (krvtest::byteAt(packet, 9) == IPPROTO_UDP && krvtest::wordAt(packet, 22) == 7217 &&
            addressAt(packet, 12) == kControllerAddress && packet.substr(28).starts_with(prefix)) {
            return packet;
        }
    }
    return std::nullopt;
}

PacketRecorder::PacketRecorder(const NetworkLab& lab) {
    const bool entered = insideNamespace(lab.peerNamespace(), [this] {
        // ETH_P_ALL: only such sockets see the frames the peer sends as well.
        if (!bindPacketSocketToPeer(socket_, SOCK_RAW, ETH_P_ALL)) {
            failure_ = "cannot record on peer0";
        }
    });
    if (!entered) {
        failure_ = "cannot enter the peer namespace";
    }
}

PacketRecorder::~PacketRecorder() {
    if (socket_ >= 0) {
        close(socket_);
    }
}

std::vector<CapturedFrame> PacketRecorder::take() {
    std::vector<CapturedFrame> frames;
    // The queue holds what arrived so far; a bound keeps a chatty link from holding us here.
    constexpr int kMostFrames = 10000;
    for (int i = 0; i < kMostFrames; ++i) {
        char buffer[2048];
        const ssize_t count = recv(socket_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (count < 0) {
            break;
        }
        CapturedFrame frame;
        frame.bytes.assign(buffer, static_cast<std::size_t>(count));
        if (ioctl(socket_, SIOCGSTAMP, &frame.time) != 0) {
            gettimeofday(&frame.time, nullptr);
        }
        frames.push_back(std::move(frame));
    }
    return frames;
}

bool writePcap(const std::string& path, const std::vector<CapturedFrame>& frames) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    const auto put32 = [&file](std::uint32_t value) {
        file.write(reinterpret_cast<const char*>(&value), sizeof value);
    };
    const auto put16 = [&file](std::uint16_t value) {
        file.write(reinterpret_cast<const char*>(&value), sizeof value);
    };
    constexpr std::uint32_t kMagic = 0xa1b2c3d4;  // microsecond time stamps, host byte order
    constexpr std::uint32_t kLinkTypeEthernet = 1;
    put32(kMagic);
    put16(2);  // format version 2.4
    put16(4);
    put32(0);  // time zone and accuracy, both unused
    put32(0);
    put32(65535);  // snapshot length
    put32(kLinkTypeEthernet);
    for (const auto& frame : frames) {
        put32(static_cast<std::uint32_t>(frame.time.tv_sec));
        put32(static_cast<std::uint32_t>(frame.time.tv_usec));
        put32(static_cast<std::uint32_t>(frame.bytes.size()));
        put32(static_cast<std::uint32_t>(frame.bytes.size()));
        file.write(frame.bytes.data(), static_cast<std::streamsize>(frame.bytes.size()));
    }
    return static_cast<bool>(file);
}

Daemon::Daemon(const NetworkLab& lab, Options options)
    : Daemon(lab.controllerNamespace(), lab.controllerInterface(), std::move(options)) {}

Daemon::Daemon(std::string networkNamespace, std::string interface, Options options)
    : namespace_(std::move(networkNamespace)),
      interface_(std::move(interface)),
      options_(std::move(options)) {
    std::string pattern = (std::filesystem::temp_directory_path() / "krvd-e2e-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) {
        workDir_ = pattern;
    }
    configure({"init", "--type", options_.controllerType});
}

Daemon::~Daemon() {
    stop();
    std::error_code ignored;
    if (!workDir_.empty() && std::getenv("KRV_E2E_KEEP") == nullptr) {
        std::filesystem::remove_all(workDir_, ignored);
    }
}

void Daemon::configure(const std::vector<std::string>& simArguments) {
    std::vector<std::string> argv = {"env", "KRV_SIM_STATE=" + workDir_ + "/state",
                                     KRV_SOURCE_DIR "/sim/bin/krv-sim"};
    argv.insert(argv.end(), simArguments.begin(), simArguments.end());
    if (runQuietly(argv) != 0) {
        failure_ = "krv-sim failed";
    }
}

bool Daemon::start() {
    return launch() && awaitListening();
}

bool Daemon::launch() {
    if (!failure_.empty()) {
        return false;
    }
    std::vector<std::string> argv = {"ip",
                                     "netns",
                                     "exec",
                                     namespace_,
                                     KRV_SOURCE_DIR "/sim/run-on-sim-controller",
                                     "--state",
                                     workDir_ + "/state",
                                     "--interface",
                                     interface_,
                                     "--hostname",
                                     options_.hostname,
                                     "--"};
    argv.insert(argv.end(), options_.wrapper.begin(), options_.wrapper.end());
    argv.push_back(options_.program.empty() ? KRV_BINARY_DIR "/krvd/krvd" : options_.program);
    if (!program_.start(argv, workDir_ + "/stdout", workDir_ + "/stderr",
                        options_.closeStandardInput)) {
        failure_ = "cannot start krvd";
        return false;
    }
    return true;
}

bool Daemon::awaitListening() {
    if (!waitForOutput("Listening for broadcast packets\n", std::chrono::seconds(40))) {
        failure_ = "krvd did not come up; stderr: " + standardError();
        return false;
    }
    return true;
}

std::optional<int> Daemon::stop(std::chrono::milliseconds grace) {
    return program_.terminate(grace);
}

std::optional<int> Daemon::waitForExit(std::chrono::milliseconds timeout) {
    return program_.waitForStatus(timeout);
}

std::string Daemon::standardOutput() const {
    return readFile(workDir_ + "/stdout");
}
std::string Daemon::standardError() const {
    return readFile(workDir_ + "/stderr");
}
std::string Daemon::commandRecord() const {
    return readFile(workDir_ + "/state/commands.log");
}

bool Daemon::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const {
    return program_.waitForText(workDir_ + "/stdout", text, timeout);
}

BackgroundProgram::~BackgroundProgram() {
    stop();
}

bool BackgroundProgram::start(std::vector<std::string> argv, const std::string& outPath,
                              const std::string& errPath, bool closeStandardInput) {
    pid_ = spawn(std::move(argv), outPath, errPath, closeStandardInput);
    return pid_ >= 0;
}

std::optional<int> BackgroundProgram::waitForStatus(std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (pid_ >= 0) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return status;
        }
        if (Clock::now() >= deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return std::nullopt;
}

std::optional<int> BackgroundProgram::waitForExit(std::chrono::milliseconds timeout) {
    const auto status = waitForStatus(timeout);
    return status ? std::optional<int>(exitStatus(*status)) : std::nullopt;
}

std::optional<int> BackgroundProgram::terminate(std::chrono::milliseconds grace) {
    if (pid_ < 0) {
        return std::nullopt;
    }
    kill(pid_, SIGTERM);
    if (const auto status = waitForStatus(grace)) {
        return status;
    }
    kill(pid_, SIGKILL);
    return waitForStatus(std::chrono::seconds(10));
}

int BackgroundProgram::stop(std::chrono::milliseconds grace) {
    const auto status = terminate(grace);
    return status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool BackgroundProgram::waitForText(const std::string& path, const std::string& text,
                                    std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    while (Clock::now() < deadline) {
        if (readFile(path).find(text) != std::string::npos) {
            return true;
        }
        // An ended program writes nothing more; look without reaping it, stop() does that.
        siginfo_t info{};
        if (pid_ >= 0 &&
            waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
            info.si_pid == pid_) {
            return readFile(path).find(text) != std::string::npos;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

}  // namespace krvd::e2e
