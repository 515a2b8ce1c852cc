#include "krvd/transport/KeepAlive.h"

#include <algorithm>
#include <string>

namespace krvd {

KeepAlive::KeepAlive(ServiceManager* manager) : manager_(manager) {
    if (manager_ != nullptr) {
        interval_ = std::max(manager_->watchdogInterval(), std::chrono::microseconds::zero());
    }
}

std::chrono::microseconds KeepAlive::ready() {
    if (manager_ == nullptr) {
        return std::chrono::microseconds::zero();
    }
    manager_->notify("READY=1");
    ready_ = true;
    last_ = manager_->now();
    return interval_ / 2;
}

void KeepAlive::beat() {
    if (!ready_ || interval_ == std::chrono::microseconds::zero()) {
        return;
    }
    const auto now = manager_->now();
    if (now - last_ >= interval_ / 4) {
        manager_->notify("WATCHDOG=1");
        last_ = now;
    }
}

void KeepAlive::beforeStep() {
    if (manager_ == nullptr) {
        return;
    }
    if (!ready_) {
        // Before readiness the manager's start timeout runs, not its watchdog: a loaded
        // controller's start-up read must not be taken for a hang and restarted in a loop. An
        // extension counts from its arrival, so each step gets the budget it has once running.
        const std::chrono::microseconds step =
            interval_ > std::chrono::microseconds::zero() ? interval_ : kStartStepWithoutWatchdog;
        manager_->notify("EXTEND_TIMEOUT_USEC=" + std::to_string(step.count()));
        return;
    }
    if (interval_ > std::chrono::microseconds::zero()) {
        // Unpaced: a command costs a process, the notice a datagram to the manager.
        manager_->notify("WATCHDOG=1");
        last_ = manager_->now();
    }
}

}  // namespace krvd
