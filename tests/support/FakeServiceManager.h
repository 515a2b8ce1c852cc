#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "krvd/transport/ServiceManager.h"
#include "tests/support/EventLog.h"

namespace krvtest {

// A service manager that records every notification (also on the shared timeline as
// "notify: STATE") on a clock that moves only when a test moves it.
class FakeServiceManager : public krvd::ServiceManager {
  public:
    explicit FakeServiceManager(std::chrono::microseconds interval, EventLog* timeline = nullptr)
        : interval_(interval), timeline_(timeline) {}

    std::chrono::microseconds watchdogInterval() override { return interval_; }
    void notify(const std::string& state) override {
        notifications.push_back(state);
        if (timeline_ != nullptr) {
            timeline_->add("notify: " + state);
        }
    }
    std::chrono::steady_clock::time_point now() override { return clock; }
    void advance(std::chrono::milliseconds by) { clock += by; }

    std::vector<std::string> notifications;
    std::chrono::steady_clock::time_point clock{std::chrono::hours(1)};

  private:
    std::chrono::microseconds interval_;
    EventLog* timeline_;
};

}  // namespace krvtest
