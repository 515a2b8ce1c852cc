#pragma once

#include <string>

namespace krvd {

// Each message goes to the console ("krvd:" prefix; errors and warnings on standard error,
// the rest on standard output) and to syslog (ident "krvd", LOG_DAEMON).
void logError(const std::string& message);
void logWarning(const std::string& message);
void logInfo(const std::string& message);
void logDebug(const std::string& message);

// Where log entries go besides the console. The daemon uses the system logger.
class SyslogSink {
  public:
    virtual ~SyslogSink() = default;
    virtual void open(const char* ident, int option, int facility) = 0;
    virtual void submit(int priority, const std::string& message) = 0;
};

// Replaces the syslog sink (nullptr restores the system logger) and forgets that the log was
// opened, so the next message opens it again. For tests.
void setSyslogSinkForTesting(SyslogSink* sink);

}  // namespace krvd
