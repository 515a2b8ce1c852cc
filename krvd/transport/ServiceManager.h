#pragma once

#include <chrono>
#include <string>

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

// systemd's notification protocol through libsystemd; the only implementation the daemon uses.
ServiceManager& systemServiceManager();

}  // namespace krvd
