#pragma once

#include <unistd.h>

namespace krvd {

// Blocking pause; the daemon really sleeps, tests only record the request.
class Sleeper {
  public:
    virtual ~Sleeper() = default;
    virtual void sleepSeconds(unsigned seconds) = 0;
};

class SystemSleeper final : public Sleeper {
  public:
    void sleepSeconds(unsigned seconds) override { ::sleep(seconds); }
};

}  // namespace krvd
