#include "krvctl/web/LanWorker.h"

namespace krvctl {

using std::chrono::steady_clock;

LanWorker::LanWorker(Job periodic, std::chrono::milliseconds interval, std::size_t capacity)
    : periodic_(std::move(periodic)),
      interval_(interval),
      capacity_(capacity),
      thread_([this](std::stop_token stop) { loop(stop); }) {}

LanWorker::~LanWorker() {
    thread_.request_stop();
    thread_.join();
}

LanWorker::Queued LanWorker::submit(Job job) {
    {
        const std::lock_guard lock(mutex_);
        if (stopped_) {
            return Queued::Stopped;
        }
        if (queue_.size() >= capacity_) {
            return Queued::Full;
        }
        queue_.push_back(std::move(job));
    }
    wake_.notify_one();
    return Queued::Yes;
}

void LanWorker::loop(std::stop_token stop) {
    // The first round comes before any request, so there is a picture to judge them against.
    periodic_();
    auto nextRound = steady_clock::now() + interval_;
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        wake_.wait_until(lock, stop, nextRound, [this] { return !queue_.empty(); });
        if (stop.stop_requested()) {
            break;
        }
        if (queue_.empty()) {
            if (steady_clock::now() < nextRound) {
                continue;
            }
            lock.unlock();
            periodic_();
            lock.lock();
            nextRound = steady_clock::now() + interval_;
            continue;
        }
        Job next = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        next();
        lock.lock();
    }
    stopped_ = true;
    queue_.clear();
}

}  // namespace krvctl
