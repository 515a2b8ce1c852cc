// The Broadcaster's UDP socket as the real kernel holds it: close-on-exec, its options, the
// bound address. The test runs inside a network namespace this process creates for itself;
// without the privilege to create one, it skips. The send and receive rules are covered by the
// fakes one folder up, the whole daemon on a real network in tests/core/e2e.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "krvd/transport/Broadcaster.h"

namespace krvd {
namespace {

constexpr std::uint16_t kPort = 7217;

// Empty when this process now sits in a fresh network namespace.
std::string enterPrivateNetwork() {
    if (::unshare(CLONE_NEWNET) == 0) {
        return "";
    }
    const int asIs = errno;
    // Unprivileged users may still own a network namespace inside a user namespace.
    if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0) {
        return "";
    }
    return std::string("cannot create a network namespace: ") + std::strerror(asIs);
}

int intOption(int fd, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    ::getsockopt(fd, level, name, &value, &length);
    return value;
}

TEST(BroadcasterNetns, BindsThePortOnEveryAddressWithACloseOnExecSocket) {
    static const std::string skipReason = enterPrivateNetwork();
    if (!skipReason.empty()) {
        GTEST_SKIP() << skipReason;
    }
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

}  // namespace
}  // namespace krvd
