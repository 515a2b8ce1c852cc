// systemd's notification protocol as the daemon speaks it: the address NOTIFY_SOCKET names and
// the watchdog interval WATCHDOG_USEC and WATCHDOG_PID give, then the real notifications to
// AF_UNIX datagram sockets standing in for systemd's, at a path and in the abstract namespace.
// Under systemd itself: the image tests.
#include "krvd/transport/ServiceManager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <string>

#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using namespace std::chrono_literals;

// Sets the variables systemd gives a supervised service; unsets them again on the way out.
class ServiceEnvironment {
  public:
    ServiceEnvironment(const std::string& socketVariable, const std::string& watchdogUsec) {
        setenv("NOTIFY_SOCKET", socketVariable.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdogUsec.c_str(), 1);
        setenv("WATCHDOG_PID", std::to_string(getpid()).c_str(), 1);
    }
    ~ServiceEnvironment() { clear(); }
    ServiceEnvironment(const ServiceEnvironment&) = delete;
    ServiceEnvironment& operator=(const ServiceEnvironment&) = delete;
    static void clear() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
        unsetenv("WATCHDOG_PID");
    }
};

// A datagram socket bound to a NOTIFY_SOCKET value, as systemd's listening end.
class Receiver {
  public:
    explicit Receiver(const std::string& socketVariable)
        : fd_(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        const auto target = notifyAddress(socketVariable);
        bound_ =
            fd_ >= 0 && target &&
            bind(fd_, reinterpret_cast<const sockaddr*>(&target->address), target->length) == 0;
    }
    ~Receiver() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;
    bool bound() const { return bound_; }
    // Every datagram waiting, each on its own line.
    std::string drain() {
        std::string all;
        std::array<char, 256> buffer{};
        for (int i = 0; i < 16; ++i) {
            const ssize_t count = recv(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (count < 0) {
                break;
            }
            all.append(buffer.data(), static_cast<std::size_t>(count)).push_back('\n');
        }
        return all;
    }

  private:
    int fd_;
    bool bound_ = false;
};

TEST(NotifyAddress, PathsAndAbstractNamesAreTakenAsSystemdGivesThemAndAnythingElseIsNot) {
    const std::size_t room = sizeof(sockaddr_un{}.sun_path);
    const std::size_t header = offsetof(sockaddr_un, sun_path);
    const auto path = notifyAddress("/run/systemd/notify");
    ASSERT_TRUE(path);
    EXPECT_EQ(path->address.sun_family, AF_UNIX);
    EXPECT_STREQ(path->address.sun_path, "/run/systemd/notify");
    EXPECT_EQ(path->length, header + 20);

    const auto abstract = notifyAddress("@krvd/notify");
    ASSERT_TRUE(abstract);
    EXPECT_EQ(std::string(abstract->address.sun_path, 12), std::string("\0krvd/notify", 12));
    EXPECT_EQ(abstract->length, header + 12);

    // The longest of each that fits: a path with its NUL, an abstract name without one.
    EXPECT_TRUE(notifyAddress("/" + std::string(room - 2, 'p')));
    EXPECT_TRUE(notifyAddress("@" + std::string(room - 1, 'a')));
    for (const std::string& refused :
         {std::string(), std::string("@"), std::string("run/systemd/notify"),
          std::string("vsock:2:1234"), "/" + std::string(room - 1, 'p'),
          "@" + std::string(room, 'a')}) {
        SCOPED_TRACE(refused.size());
        EXPECT_FALSE(notifyAddress(refused)) << refused;
    }
}

TEST(WatchdogInterval, OnlyAPlainPositiveIntervalForThisProcessCounts) {
    constexpr pid_t self = 4242;
    struct Case {
        const char* usec;
        const char* pid;
        std::chrono::microseconds expected;
    };
    const Case cases[] = {
        {"90000000", nullptr, 90s},
        {"90000000", "4242", 90s},
        {"1", "4242", 1us},
        {nullptr, nullptr, 0us},
        {nullptr, "4242", 0us},
        // Meant for another process of the service (the daemon's commands inherit it).
        {"90000000", "1", 0us},
        {"90000000", "42420", 0us},
        {"90000000", "", 0us},
        {"90000000", "42x", 0us},
        {"90000000", "-4242", 0us},
        {"0", nullptr, 0us},
        {"", nullptr, 0us},
        {"-5", nullptr, 0us},
        {"+5", nullptr, 0us},
        {" 5", nullptr, 0us},
        {"5s", nullptr, 0us},
        {"18446744073709551615", nullptr, 0us},  // infinity
        {"99999999999999999999", nullptr, 0us},  // beyond 64 bits
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.usec ? c.usec : "(unset)") + " / " +
                     (c.pid ? c.pid : "(unset)"));
        EXPECT_EQ(watchdogIntervalFrom(c.usec, c.pid, self), c.expected);
    }
}

TEST(SystemServiceManager, OffSystemdThereIsNoWatchdogAndNotifyingDoesNothing) {
    ServiceEnvironment::clear();
    ServiceManager& manager = systemServiceManager();
    EXPECT_EQ(manager.watchdogInterval(), 0us);
    manager.notify("READY=1");
}

TEST(SystemServiceManager, NotificationsArriveWhole) {
    krvtest::TempDir dir;
    const std::string abstractName =
        "@krvd-test-notify-" + std::to_string(getpid()) + "-" + std::to_string(time(nullptr));
    for (const std::string& variable : {dir.file("notify"), abstractName}) {
        SCOPED_TRACE(variable);
        Receiver receiver(variable);
        ASSERT_TRUE(receiver.bound());
        ServiceEnvironment environment(variable, "30000000");
        ServiceManager& manager = systemServiceManager();
        EXPECT_EQ(manager.watchdogInterval(), 30s);
        manager.notify("READY=1");
        manager.notify("WATCHDOG=1");
        manager.notify("EXTEND_TIMEOUT_USEC=30000000");
        EXPECT_EQ(receiver.drain(), "READY=1\nWATCHDOG=1\nEXTEND_TIMEOUT_USEC=30000000\n");
        // A watchdog meant for another process is not this one's.
        setenv("WATCHDOG_PID", "1", 1);
        EXPECT_EQ(manager.watchdogInterval(), 0us);
    }
}

}  // namespace
}  // namespace krvd
