#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <ostream>
#include <vector>

#include "tapsim/EventWriter.h"

struct RecordedEvent {
    unsigned int type;
    unsigned int code;
    int value;
    bool operator==(const RecordedEvent&) const = default;
};

inline std::ostream& operator<<(std::ostream& out, const RecordedEvent& event) {
    return out << '{' << event.type << ' ' << event.code << ' ' << event.value << '}';
}

// Records events instead of writing them; can refuse one write, and lets a test thread wait
// for events written by tapsim's loop running in another thread.
class RecordingEventWriter : public tapsim::EventWriter {
  public:
    // The write with this index (0 for the first) fails with -error, the later ones succeed.
    void failWrite(std::size_t index, int error) {
        std::lock_guard lock(mutex_);
        failIndex_ = index;
        failError_ = error;
    }

    int writeEvent(unsigned int type, unsigned int code, int value) override {
        std::lock_guard lock(mutex_);
        if (attempts_++ == failIndex_) {
            return -failError_;
        }
        events_.push_back({type, code, value});
        changed_.notify_all();
        return 0;
    }

    bool waitForEvents(std::size_t count) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(10),
                                 [&] { return events_.size() >= count; });
    }

    std::vector<RecordedEvent> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<RecordedEvent> events_;
    std::size_t attempts_ = 0;
    std::optional<std::size_t> failIndex_;
    int failError_ = 0;
};
