#pragma once

// A small network of namespaces for running the real krvd binary: the controller's namespace
// and a peer's, joined by a veth pair, with addresses from 192.0.2.0/24 only. Nothing is
// created outside these namespaces, and everything is removed again.

#include <netinet/in.h>
#include <sys/time.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace krvd::e2e {

inline constexpr const char* kControllerAddress = "192.0.2.10";
inline constexpr const char* kPeerAddress = "192.0.2.20";
inline constexpr const char* kGatewayAddress = "192.0.2.1";

// Runs a program and waits for it; its output is dropped. Returns the exit status or -1.
int runQuietly(const std::vector<std::string>& argv);

// Runs f with the calling thread inside the named network namespace; sockets opened there stay
// in it. False when the namespace could not be entered.
bool runInNamespace(const std::string& name, const std::function<void()>& f);

// A UDP socket on port 7217 that may broadcast, opened in the calling thread's namespace (call
// it inside runInNamespace); another socket may hold the port too. -1 when it cannot be bound.
int openSetupPort();
// Sends text from fd to 255.255.255.255:7217; false unless all of it went out.
bool broadcastDatagram(int fd, const std::string& text);

// Waits until the interface in the namespace is up and running. The kernel marks a fresh link
// running a moment after it is set up, seconds later when namespaces are being built and torn
// down beside it; until then every tool rightly calls it down. False after 20 s.
bool awaitRunning(const std::string& ns, const std::string& interface);

class NetworkLab {
  public:
    // The controller's side is either a bridge "br0" with the veth "eth0" as its port, or the
    // veth "eth0" on its own.
    enum class Side { Bridge, Plain };

    explicit NetworkLab(Side side);
    ~NetworkLab();
    NetworkLab(const NetworkLab&) = delete;
    NetworkLab& operator=(const NetworkLab&) = delete;

    // Empty when the lab stands; otherwise why it could not be built.
    const std::string& failure() const { return failure_; }
    const std::string& controllerNamespace() const { return controllerNs_; }
    const std::string& peerNamespace() const { return peerNs_; }
    // The interface the daemon should select.
    std::string controllerInterface() const { return side_ == Side::Bridge ? "br0" : "eth0"; }

    // A UDP socket bound to port on every address of the controller's namespace, without
    // SO_REUSEADDR; the caller closes it. -1 when that failed.
    int bindUdpInController(std::uint16_t port) const;

  private:
    bool ip(const std::vector<std::string>& arguments);

    Side side_;
    std::string controllerNs_;
    std::string peerNs_;
    std::string failure_;
};

struct ReceivedDatagram {
    std::string text;
    std::string senderAddress;
    std::uint16_t senderPort = 0;
};

// The dotted form of the IPv4 address at offset in a captured packet.
std::string addressAt(const std::string& packet, std::size_t offset);

// The configuration tool's side: a UDP socket on port 7217 and a packet capture on "peer0",
// both opened inside the peer namespace.
class Peer {
  public:
    explicit Peer(const NetworkLab& lab);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    const std::string& failure() const { return failure_; }
    // Sends to 255.255.255.255:7217.
    bool broadcast(const std::string& text);
    // Sends to the controller's own address on port 7217: no copy comes back to this side, so
    // a flood does not fill the peer's own receive queue.
    bool sendToController(const std::string& text);
    // The next datagram from another host whose text starts with prefix.
    std::optional<ReceivedDatagram> receive(const std::string& prefix,
                                            std::chrono::milliseconds timeout);
    // Every datagram queued for this side now whose text starts with prefix, without waiting;
    // the others are dropped.
    std::vector<ReceivedDatagram> receiveQueued(const std::string& prefix);
    // The next captured UDP packet to port 7217 from the controller whose payload starts
    // with prefix: the whole IPv4 datagram, header first.
    std::optional<std::string> capture(const std::string& prefix,
                                       std::chrono::milliseconds timeout);

  private:
    int udp_ = -1;
    int capture_ = -1;
    std::string failure_;
};

struct CapturedFrame {
    timeval time{};
    std::string bytes;  // the whole Ethernet frame
};

// Every frame that crosses "peer0", in both directions, from construction on: the exchange as
// a network analyser on the tool's side sees it.
class PacketRecorder {
  public:
    explicit PacketRecorder(const NetworkLab& lab);
    ~PacketRecorder();
    PacketRecorder(const PacketRecorder&) = delete;
    PacketRecorder& operator=(const PacketRecorder&) = delete;

    const std::string& failure() const { return failure_; }
    // The frames captured since the last call, oldest first.
    std::vector<CapturedFrame> take();

  private:
    int socket_ = -1;
    std::string failure_;
};

// Writes the frames as a classic pcap file (Ethernet link type), as network analysers read it.
bool writePcap(const std::string& path, const std::vector<CapturedFrame>& frames);

// A program running in the background with its standard output and error in files. Stopped
// (SIGTERM, then SIGKILL) at the latest when this ends.
class BackgroundProgram {
  public:
    BackgroundProgram() = default;
    ~BackgroundProgram();
    BackgroundProgram(const BackgroundProgram&) = delete;
    BackgroundProgram& operator=(const BackgroundProgram&) = delete;

    bool start(std::vector<std::string> argv, const std::string& outPath,
               const std::string& errPath, bool closeStandardInput = false);
    // Stops it (SIGKILL after the grace) and waits for it; its exit status, or -1 when it was
    // killed or never ran.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(1));
    // Its exit status once it ended by itself within the timeout.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    // The same two with the raw wait status, which also tells the signal that ended it.
    std::optional<int> terminate(std::chrono::milliseconds grace);
    std::optional<int> waitForStatus(std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }
    // Waits until the file holds text, for at most timeout; false early once the program ended.
    bool waitForText(const std::string& path, const std::string& text,
                     std::chrono::milliseconds timeout) const;

  private:
    pid_t pid_ = -1;
};

std::string readFile(const std::string& path);

// The real krvd binary, started on the simulated controller inside the lab's controller
// namespace, with its standard output and error in files.
class Daemon {
  public:
    struct Options {
        std::string controllerType = "imx";
        bool closeStandardInput = false;
        std::string hostname = "ctl-e2e";
        // A program and its arguments that run krvd (valgrind, setpriv), on the controller.
        std::vector<std::string> wrapper = {};
        // Another krvd binary to run (a benchmark's older build); empty means this build's.
        std::string program = {};
    };

    Daemon(const NetworkLab& lab, Options options);
    // On any namespace, working on the named interface there.
    Daemon(std::string networkNamespace, std::string interface, Options options);
    ~Daemon();
    Daemon(const Daemon&) = delete;
    Daemon& operator=(const Daemon&) = delete;

    // Runs krv-sim with the daemon's state before it starts (set values, answers).
    void configure(const std::vector<std::string>& simArguments);
    // Starts the daemon and waits for its banner; false with failure() set otherwise.
    bool start();
    // The two halves of start, so that many daemons can start at once.
    bool launch();
    bool awaitListening();
    // Stops it (SIGTERM, then SIGKILL after grace) and waits for it. Returns the wait status,
    // or nullopt when it was not running.
    std::optional<int> stop(std::chrono::milliseconds grace = std::chrono::seconds(1));
    // Waits for it to end by itself; the wait status, or nullopt when it still runs.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);

    pid_t pid() const { return program_.pid(); }
    // A private folder of this daemon's run; removed with the object.
    const std::string& workDir() const { return workDir_; }
    const std::string& failure() const { return failure_; }
    std::string standardOutput() const;
    std::string standardError() const;
    // Every command line the simulated tools received, one per line.
    std::string commandRecord() const;
    // Waits until standard output holds text, for at most timeout.
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout) const;

  private:
    std::string namespace_;
    std::string interface_;
    Options options_;
    std::string workDir_;
    BackgroundProgram program_;
    std::string failure_;
};

}  // namespace krvd::e2e
