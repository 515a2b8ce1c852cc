#include "krvd/transport/ServiceManager.h"

#include <systemd/sd-daemon.h>

#include <cstdint>

namespace krvd {
namespace {

class SystemdServiceManager final : public ServiceManager {
  public:
    std::chrono::microseconds watchdogInterval() override {
        std::uint64_t usec = 0;
        // The environment stays: every keep-alive reads NOTIFY_SOCKET again.
        if (sd_watchdog_enabled(0, &usec) <= 0) {
            return std::chrono::microseconds::zero();
        }
        return std::chrono::microseconds(usec);
    }
    void notify(const std::string& state) override {
        static_cast<void>(sd_notify(0, state.c_str()));
    }
    std::chrono::steady_clock::time_point now() override {
        return std::chrono::steady_clock::now();
    }
};

}  // namespace

ServiceManager& systemServiceManager() {
    static SystemdServiceManager manager;
    return manager;
}

}  // namespace krvd
