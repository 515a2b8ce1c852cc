// The Broadcaster against the real kernel: binding, the receive loop, the raw frame as it
// leaves an interface, descriptor flags and the start-up failure. Every test runs inside a
// network namespace this process creates for itself, holding only its own loopback; without
// the privilege to create one, the tests skip. The send rule itself is covered by the fakes
// one folder up.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "krvd/transport/Broadcaster.h"

namespace krvd {
namespace {

constexpr std::uint16_t kPort = 7217;
constexpr int kTimeoutMs = 5000;

class Fd {
  public:
    explicit Fd(int fd = -1) : fd_(fd) {}
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) {
            ::close(fd_);
        }
        fd_ = fd;
    }

  private:
    int fd_;
};

struct Pipe {
    Fd read;
    Fd write;
    Pipe() {
        int ends[2] = {-1, -1};
        if (::pipe2(ends, O_CLOEXEC) == 0) {
            read.reset(ends[0]);
            write.reset(ends[1]);
        }
    }
};

// Kills and reaps the forked child however the test ends.
class Child {
  public:
    explicit Child(pid_t pid) : pid_(pid) {}
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

  private:
    pid_t pid_;
};

// Reads exactly size bytes, or fails once the deadline has passed.
bool readFully(int fd, char* out, std::size_t size) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kTimeoutMs);
    std::size_t got = 0;
    while (got < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                              deadline - std::chrono::steady_clock::now())
                              .count();
        pollfd ready{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&ready, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        const ssize_t n = ::read(fd, out + got, size - got);
        if (n <= 0) {
            return false;
        }
        got += static_cast<std::size_t>(n);
    }
    return true;
}

sockaddr_in loopbackPort() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Empty when this process now sits in a fresh network namespace with its loopback up.
std::string enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) != 0) {
        const int asIs = errno;
        // Unprivileged users may still own a network namespace inside a user namespace.
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return std::string("cannot create a network namespace: ") + std::strerror(asIs);
        }
    }
    struct if_nameindex* names = ::if_nameindex();
    if (names == nullptr) {
        return std::string("cannot list the interfaces: ") + std::strerror(errno);
    }
    const bool onlyLoopback = names[0].if_name != nullptr &&
                              std::strcmp(names[0].if_name, "lo") == 0 &&
                              names[1].if_name == nullptr;
    ::if_freenameindex(names);
    if (!onlyLoopback) {
        return "the new network namespace holds more than a loopback";
    }
    const Fd control(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    ifreq request{};
    std::strcpy(request.ifr_name, "lo");
    if (::ioctl(control.get(), SIOCGIFFLAGS, &request) != 0) {
        return std::string("cannot read the loopback's flags: ") + std::strerror(errno);
    }
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    if (::ioctl(control.get(), SIOCSIFFLAGS, &request) != 0) {
        return std::string("cannot bring the loopback up: ") + std::strerror(errno);
    }
    return "";
}

class BroadcasterNetns : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        static const std::string reason = enterPrivateNetwork();
        skipReason_ = reason;
    }
    void SetUp() override {
        if (!skipReason_.empty()) {
            GTEST_SKIP() << skipReason_;
        }
    }
    static std::string skipReason_;
};
std::string BroadcasterNetns::skipReason_;
using BroadcasterNetnsDeathTest = BroadcasterNetns;

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, level, name, &value, &length);
    return value;
}

TEST_F(BroadcasterNetns, BindsThePortOnEveryAddressWithACloseOnExecSocket) {
    const Broadcaster broadcaster(nullptr, kPort, "lo");
    const int fd = broadcaster.socketFd();
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_BROADCAST), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_REUSEADDR), 1);
    EXPECT_EQ(intOption(fd, SOL_SOCKET, SO_TYPE), SOCK_DGRAM);

    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length), 0);
    EXPECT_EQ(ntohs(bound.sin_port), kPort);
    EXPECT_EQ(bound.sin_addr.s_addr, htonl(INADDR_ANY));
}

TEST_F(BroadcasterNetnsDeathTest, PortTakenByAnExclusiveSocketEndsTheProcess) {
    const Fd blocker(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    sockaddr_in any = loopbackPort();
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    ASSERT_EQ(::bind(blocker.get(), reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    EXPECT_EXIT(Broadcaster(nullptr, kPort, "lo"), ::testing::ExitedWithCode(1),
                "^Error binding socket: 98\n$");
}

// Passes each datagram up the pipe as count, sender and bytes, in one atomic write.
class PipeCallback : public IBroadcasterCallback {
  public:
    explicit PipeCallback(int fd) : fd_(fd) {}
    void onMessage(const char* data, std::int64_t count, std::uint32_t sender) override {
        std::string record(sizeof count + sizeof sender, '\0');
        std::memcpy(record.data(), &count, sizeof count);
        std::memcpy(record.data() + sizeof count, &sender, sizeof sender);
        record.append(data, static_cast<std::size_t>(count));
        if (::write(fd_, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
            ::_exit(2);
        }
    }

  private:
    int fd_;
};

TEST_F(BroadcasterNetns, ListenHandsOnEveryNonEmptyDatagramCutTo512Bytes) {
    Pipe output;
    Pipe records;
    ASSERT_GE(records.write.get(), 0);
    ASSERT_GE(output.write.get(), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(output.write.get(), STDOUT_FILENO);
        PipeCallback callback(records.write.get());
        Broadcaster(&callback, kPort, "lo").listen();
    }
    const Child child(pid);
    output.write.reset();
    records.write.reset();

    const std::string banner = "Krevane 4.12 : Listening for broadcast packets\n";
    std::string seen(banner.size(), '\0');
    ASSERT_TRUE(readFully(output.read.get(), seen.data(), seen.size()));
    EXPECT_EQ(seen, banner);

    const Fd peer(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    const sockaddr_in to = loopbackPort();
    std::string large(600, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) {
        large[i] = static_cast<char>(i % 251);
    }
    const std::string query("KRV2#QUERY#seqid=\0\xFF", 19);
    // The empty datagram leads: it must not reach the callback.
    for (const std::string& datagram : {std::string(), query, large}) {
        ASSERT_EQ(::sendto(peer.get(), datagram.data(), datagram.size(), 0,
                           reinterpret_cast<const sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(datagram.size()));
    }

    for (const std::string& expected : {query, large.substr(0, 512)}) {
        std::int64_t count = 0;
        std::uint32_t sender = 0;
        ASSERT_TRUE(readFully(records.read.get(), reinterpret_cast<char*>(&count), sizeof count));
        ASSERT_TRUE(readFully(records.read.get(), reinterpret_cast<char*>(&sender), sizeof sender));
        ASSERT_EQ(count, static_cast<std::int64_t>(expected.size()));
        std::string bytes(expected.size(), '\0');
        ASSERT_TRUE(readFully(records.read.get(), bytes.data(), bytes.size()));
        EXPECT_EQ(bytes, expected);
        EXPECT_EQ(sender, htonl(INADDR_LOOPBACK));
    }
}

unsigned byteAt(const std::string& frame, std::size_t offset) {
    return static_cast<unsigned char>(frame.at(offset));
}

unsigned wordAt(const std::string& frame, std::size_t offset) {
    return byteAt(frame, offset) << 8 | byteAt(frame, offset + 1);
}

TEST_F(BroadcasterNetns, RawFrameLeavesTheNamedInterfaceAsBuilt) {
    const Fd capture(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP)));
    ASSERT_GE(capture.get(), 0) << std::strerror(errno);
    sockaddr_ll link{};
    link.sll_family = AF_PACKET;
    link.sll_protocol = htons(ETH_P_IP);
    link.sll_ifindex = static_cast<int>(::if_nametoindex("lo"));
    ASSERT_EQ(::bind(capture.get(), reinterpret_cast<sockaddr*>(&link), sizeof link), 0);

    Broadcaster broadcaster(nullptr, kPort, "lo");
    std::string reply(100, 'r');
    reply[10] = '\0';  // a reply may echo a NUL byte; it must go out whole
    ::testing::internal::CaptureStderr();
    broadcaster.send(reply);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    pollfd ready{capture.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&ready, 1, kTimeoutMs), 1);
    std::array<char, 2048> buffer{};
    const ssize_t size = ::recv(capture.get(), buffer.data(), buffer.size(), 0);
    ASSERT_EQ(size, 128);
    const std::string frame(buffer.data(), static_cast<std::size_t>(size));
    EXPECT_EQ(byteAt(frame, 0), 0x45u);
    EXPECT_EQ(wordAt(frame, 2), 128u);
    EXPECT_EQ(wordAt(frame, 4), 54321u);
    EXPECT_EQ(wordAt(frame, 6), 0x4000u);
    EXPECT_EQ(byteAt(frame, 8), 64u);
    EXPECT_EQ(byteAt(frame, 9), 17u);
    EXPECT_EQ(frame.substr(16, 4), std::string(4, '\xFF'));
    EXPECT_EQ(wordAt(frame, 20), 7217u);
    EXPECT_EQ(wordAt(frame, 22), 7217u);
    EXPECT_EQ(wordAt(frame, 24), 108u);
    EXPECT_EQ(wordAt(frame, 26), 0u);
    EXPECT_EQ(frame.substr(28), reply);
}

TEST_F(BroadcasterNetns, MissingInterfaceIsReportedWithTheSystemsErrorNumber) {
    Broadcaster broadcaster(nullptr, kPort, "nosuch0");
    ::testing::internal::CaptureStderr();
    broadcaster.send("KRV2#ACK");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Error binding to nosuch0 interface: 19\n");
}

}  // namespace
}  // namespace krvd
