#pragma once

#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace krvd {

// The service manager that supervises the daemon (systemd on the controller): told once that
// the daemon is ready, then kept informed that it is alive. Without a manager (no
// NOTIFY_SOCKET in the environment) every call does nothing.
class ServiceManager {
  public:
    virtual ~ServiceManager() = default;
    // How often the manager expects a keep-alive; zero when it expects none.
    virtual std::chrono::microseconds watchdogInterval() = 0;
    // Sends one notification such as "READY=1" or "WATCHDOG=1".
    virtual void notify(const std::string& state) = 0;
    // The monotonic clock the keep-alives are paced by.
    virtual std::chrono::steady_clock::time_point now() = 0;
};

// systemd's notification protocol, spoken directly (one datagram per notification on an
// AF_UNIX socket); the only implementation the daemon uses. It reads the environment at every
// call and never changes it.
ServiceManager& systemServiceManager();

// Where NOTIFY_SOCKET points: a file system path ("/...") or a name in the abstract namespace
// ("@..."). Nothing for an empty value, any other form, or a name too long for the address.
struct NotifyAddress {
    sockaddr_un address{};
    socklen_t length = 0;
};
std::optional<NotifyAddress> notifyAddress(std::string_view socketVariable);

// The keep-alive interval as systemd passes it to a service: WATCHDOG_USEC in microseconds,
// but only for the process WATCHDOG_PID names when that is set. Zero (no watchdog) when the
// interval is missing, zero, infinite or not a number, or when the watchdog is another
// process's. Either text may be null (variable unset).
std::chrono::microseconds watchdogIntervalFrom(const char* usecVariable, const char* pidVariable,
                                               pid_t self);

}  // namespace krvd
