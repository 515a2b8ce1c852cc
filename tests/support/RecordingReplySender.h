#pragma once

#include <string>
#include <vector>

#include "krvd/transport/ReplySender.h"
#include "tests/support/EventLog.h"

namespace krvtest {

class RecordingReplySender : public krvd::ReplySender {
  public:
    explicit RecordingReplySender(EventLog* log = nullptr) : log_(log) {}

    void send(const std::string& text) override {
        sent.push_back(text);
        if (log_ != nullptr) {
            log_->add("send: " + text);
        }
    }

    std::vector<std::string> sent;

  private:
    EventLog* log_;
};

}  // namespace krvtest
