#pragma once

#include <string>

#include "krvd/system/Log.h"

namespace krvtest {

// Keeps test runs out of the machine's syslog for as long as the object lives; the console
// lines still appear.
class QuietSyslog : public krvd::SyslogSink {
  public:
    QuietSyslog() { krvd::setSyslogSinkForTesting(this); }
    ~QuietSyslog() override { krvd::setSyslogSinkForTesting(nullptr); }
    QuietSyslog(const QuietSyslog&) = delete;
    QuietSyslog& operator=(const QuietSyslog&) = delete;

    void open(const char*, int, int) override {}
    void submit(int, const std::string&) override {}
};

}  // namespace krvtest
