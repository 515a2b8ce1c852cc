#pragma once

#include <iostream>
#include <sstream>
#include <string>

#include "tests/support/EventLog.h"

namespace krvtest {

// Standard output that notes on the timeline the last line of what each flush wrote out.
class LineFlushRecorder : public std::stringbuf {
  public:
    explicit LineFlushRecorder(EventLog& timeline)
        : timeline_(timeline), previous_(std::cout.rdbuf(this)) {}
    ~LineFlushRecorder() override { std::cout.rdbuf(previous_); }
    LineFlushRecorder(const LineFlushRecorder&) = delete;
    LineFlushRecorder& operator=(const LineFlushRecorder&) = delete;

  protected:
    int sync() override {
        const std::string text = str();
        if (text.size() > flushed_ && text.back() == '\n') {
            const auto start = text.rfind('\n', text.size() - 2);
            timeline_.add("flush: " + text.substr(start == std::string::npos ? 0 : start + 1,
                                                  text.size() - 1 - (start + 1)));
        }
        flushed_ = text.size();
        return 0;
    }

  private:
    EventLog& timeline_;
    std::streambuf* previous_;
    std::size_t flushed_ = 0;
};

}  // namespace krvtest
