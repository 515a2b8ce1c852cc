#include "krvd/transport/KeepAlive.h"

namespace krvd {

std::chrono::microseconds KeepAlive::ready() {
    if (manager_ == nullptr) {
        return std::chrono::microseconds::zero();
    }
    manager_->notify("READY=1");
    interval_ = manager_->watchdogInterval();
    if (interval_ <= std::chrono::microseconds::zero()) {
        interval_ = std::chrono::microseconds::zero();
        return interval_;
    }
    last_ = manager_->now();
    return interval_ / 2;
}

void KeepAlive::beat() {
    if (interval_ == std::chrono::microseconds::zero()) {
        return;
    }
    const auto now = manager_->now();
    if (now - last_ >= interval_ / 4) {
        manager_->notify("WATCHDOG=1");
        last_ = now;
    }
}

}  // namespace krvd
