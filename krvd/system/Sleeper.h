#pragma once

namespace krvd {

// Blocking pause; the daemon really sleeps, tests only record the request.
class Sleeper {
public:
    virtual ~Sleeper() = default;
    virtual void sleepSeconds(unsigned seconds) = 0;
};

}  // namespace krvd
