#include "krvctl/lan/SystemClock.h"

#include <thread>

namespace krvctl {

std::chrono::steady_clock::time_point SystemClock::now() {
    return std::chrono::steady_clock::now();
}

std::int64_t SystemClock::wallMilliseconds() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void SystemClock::sleepUntil(std::chrono::steady_clock::time_point until) {
    std::this_thread::sleep_until(until);
}

}  // namespace krvctl
