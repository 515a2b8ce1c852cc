#include "krvd/system/Log.h"

#include <syslog.h>

#include <iostream>

namespace krvd {

namespace {

class SystemSyslog final : public SyslogSink {
  public:
    void open(const char* ident, int option, int facility) override {
        openlog(ident, option, facility);
    }
    void submit(int priority, const std::string& message) override {
        // Fixed format: a '%' inside the message is logged literally.
        syslog(priority, "%s", message.c_str());
    }
};

SystemSyslog systemSyslog;
SyslogSink* activeSink = &systemSyslog;
bool logOpened = false;

void openLog() {
    if (!logOpened) {
        activeSink->open("krvd", 0, LOG_DAEMON);
        logOpened = true;
    }
}

void emit(std::ostream& console, int priority, const std::string& message) {
    openLog();
    // Both outputs end the message at a NUL byte, as a C string would.
    const std::string text = message.substr(0, message.find('\0'));
    // The journal stamps console lines and syslog entries as they arrive, and standard error is
    // unbuffered: what standard output holds goes first, so nothing overtakes an earlier line.
    if (&console != &std::cout) {
        std::cout.flush();
    }
    console << "krvd:" << text << '\n';
    console.flush();
    activeSink->submit(priority, text);
}

}  // namespace

void logError(const std::string& message) {
    emit(std::cerr, LOG_ERR, message);
}
void logWarning(const std::string& message) {
    emit(std::cerr, LOG_WARNING, message);
}
void logInfo(const std::string& message) {
    emit(std::cout, LOG_INFO, message);
}
void logDebug(const std::string& message) {
    emit(std::cout, LOG_DEBUG, message);
}

void setSyslogSinkForTesting(SyslogSink* sink) {
    activeSink = sink != nullptr ? sink : &systemSyslog;
    logOpened = false;
}

}  // namespace krvd
