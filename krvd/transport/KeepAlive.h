#pragma once

#include <chrono>

#include "krvd/transport/ServiceManager.h"

namespace krvd {

// Tells the service manager that the daemon still makes progress: before readiness by
// extending its start-up time, afterwards by keep-alives. Each command, write and pause is
// preceded by a step notice, so the manager's interval bounds one command, never a whole
// datagram: a hanging tool is still caught, a datagram of many slow commands is not. Between
// datagrams keep-alives are paced, so that a flood costs a clock reading per datagram rather
// than a notification.
class KeepAlive {
  public:
    // Without a manager nothing is ever sent. The manager's interval is read here, so that the
    // start-up read already gets a step's budget from it.
    explicit KeepAlive(ServiceManager* manager = nullptr);

    // Tells the manager the daemon is ready. Returns the longest the receive loop may wait for a
    // datagram and still keep the manager informed: half its interval, or zero (wait as long as
    // it takes) when it expects no keep-alives.
    std::chrono::microseconds ready();
    // After each wait and each datagram: a keep-alive once a quarter of the interval has passed
    // since the last one.
    void beat();
    // Before each command, write and pause: a keep-alive once ready, an extension of the start
    // timeout by one step's budget before.
    void beforeStep();

    // A step's start-up budget when the manager expects no keep-alives: systemd's default start
    // timeout.
    static constexpr std::chrono::microseconds kStartStepWithoutWatchdog{std::chrono::seconds(90)};

  private:
    ServiceManager* manager_;
    std::chrono::microseconds interval_{0};
    bool ready_ = false;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace krvd
