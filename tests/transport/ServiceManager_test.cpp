// The real notifications through libsystemd, to a datagram socket standing in for systemd's:
// nothing at all without NOTIFY_SOCKET, and with it READY and the watchdog interval as systemd
// passes them to the service.
#include "krvd/transport/ServiceManager.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <string>

#include "tests/support/TempDir.h"

namespace krvd {
namespace {

using namespace std::chrono_literals;

// Sets the variables systemd gives a supervised service; unsets them again on the way out.
class ServiceEnvironment {
  public:
    ServiceEnvironment(const std::string& socketPath, const std::string& watchdogUsec) {
        setenv("NOTIFY_SOCKET", socketPath.c_str(), 1);
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

TEST(SystemServiceManager, OffSystemdThereIsNoWatchdogAndNotifyingDoesNothing) {
    ServiceEnvironment::clear();
    ServiceManager& manager = systemServiceManager();
    EXPECT_EQ(manager.watchdogInterval(), 0us);
    manager.notify("READY=1");
}

TEST(SystemServiceManager, UnderSystemdTheIntervalIsReadAndNotificationsArrive) {
    krvtest::TempDir dir;
    const std::string path = dir.file("notify");
    const int receiver = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(receiver, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);

    ServiceEnvironment environment(path, "30000000");
    ServiceManager& manager = systemServiceManager();
    EXPECT_EQ(manager.watchdogInterval(), 30s);
    manager.notify("WATCHDOG=1");
    std::array<char, 64> received{};
    const ssize_t count = recv(receiver, received.data(), received.size(), MSG_DONTWAIT);
    close(receiver);
    EXPECT_EQ(std::string(received.data(), count > 0 ? static_cast<std::size_t>(count) : 0),
              "WATCHDOG=1");

    // A watchdog meant for another process is not this one's.
    setenv("WATCHDOG_PID", "1", 1);
    EXPECT_EQ(manager.watchdogInterval(), 0us);
}

}  // namespace
}  // namespace krvd
