#pragma once

#include <chrono>

#include "krvd/transport/ServiceManager.h"

namespace krvd {

// Readiness and keep-alives for the service manager, paced so that a flood of datagrams costs
// a clock reading per datagram rather than a notification: a keep-alive leaves only when a
// quarter of the manager's interval has passed since the last one.
class KeepAlive {
  public:
    // Without a manager nothing is ever sent.
    explicit KeepAlive(ServiceManager* manager = nullptr) : manager_(manager) {}

    // Tells the manager the daemon is ready. Returns the longest the receive loop may wait for a
    // datagram and still keep the manager informed: half its interval, or zero (wait as long as
    // it takes) when it expects no keep-alives.
    std::chrono::microseconds ready();
    // After each wait and each datagram handled: a keep-alive when one is due.
    void beat();

  private:
    ServiceManager* manager_;
    std::chrono::microseconds interval_{0};
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace krvd
