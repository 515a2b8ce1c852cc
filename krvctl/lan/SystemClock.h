#pragma once

#include "krvctl/lan/Endpoint.h"

namespace krvctl {

// The machine's own clocks.
class SystemClock final : public Clock {
  public:
    std::chrono::steady_clock::time_point now() override;
    std::int64_t wallMilliseconds() override;
    void sleepUntil(std::chrono::steady_clock::time_point until) override;
};

}  // namespace krvctl
