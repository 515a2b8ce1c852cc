#pragma once

#include <string>
#include <vector>

#include "krvd/system/Sleeper.h"
#include "tests/support/EventLog.h"

namespace krvtest {

// Records the pauses asked for instead of sleeping.
class RecordingSleeper : public krvd::Sleeper {
  public:
    explicit RecordingSleeper(EventLog* log = nullptr) : log_(log) {}

    void sleepSeconds(unsigned seconds) override {
        requests.push_back(seconds);
        if (log_ != nullptr) {
            log_->add("sleep: " + std::to_string(seconds));
        }
    }

    std::vector<unsigned> requests;

  private:
    EventLog* log_;
};

}  // namespace krvtest
