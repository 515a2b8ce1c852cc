#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace krvctl {

// The one thread that talks to the LAN. A Client answers one request at a time on one socket,
// and an assignment holds it for the controller's whole pause, so every request the console
// makes, and the discovery it repeats on its own, runs here, one after the other. Nobody waits
// for it: a job says itself when it is done, so the web server's thread stays free.
class LanWorker {
  public:
    using Job = std::function<void()>;

    // Jobs waiting at most: beyond that a request is refused rather than left to wait minutes
    // behind assignments of five seconds each.
    static constexpr std::size_t kCapacity = 16;

    enum class Queued { Yes, Full, Stopped };

    // periodic runs at once, before any job, and again every interval after it ends while no
    // job waits.
    LanWorker(Job periodic, std::chrono::milliseconds interval, std::size_t capacity = kCapacity);
    // Lets the running job finish; jobs still waiting are dropped without running.
    ~LanWorker();
    LanWorker(const LanWorker&) = delete;
    LanWorker& operator=(const LanWorker&) = delete;

    // Queues the job after those before it and returns at once.
    Queued submit(Job job);

  private:
    void loop(std::stop_token stop);

    Job periodic_;
    std::chrono::milliseconds interval_;
    std::size_t capacity_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Job> queue_;
    bool stopped_ = false;
    std::jthread thread_;  // last: it starts once everything it uses is ready
};

}  // namespace krvctl
