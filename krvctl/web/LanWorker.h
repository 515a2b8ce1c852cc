#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace krvctl {

// The one thread that talks to the LAN. A Client answers one request at a time on one socket,
// and an assignment holds it for the controller's whole pause, so every request the console
// makes, and the discovery it repeats on its own, runs here, one after the other, while the
// web server's threads stay free to answer the page.
class LanWorker {
  public:
    using Job = std::function<void()>;

    // periodic runs at once, before any job, and again every interval after it ends while no
    // job waits.
    LanWorker(Job periodic, std::chrono::milliseconds interval);
    // Lets the running job finish; jobs still waiting are not run.
    ~LanWorker();
    LanWorker(const LanWorker&) = delete;
    LanWorker& operator=(const LanWorker&) = delete;

    // Runs job after those queued before it and waits for it to end. False when the worker
    // stopped before it could run.
    bool run(Job job);

  private:
    struct Queued {
        Job job;
        std::promise<bool> done;
    };

    void loop(std::stop_token stop);

    Job periodic_;
    std::chrono::milliseconds interval_;
    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::deque<Queued> queue_;
    bool stopped_ = false;
    std::jthread thread_;  // last: it starts once everything it uses is ready
};

}  // namespace krvctl
