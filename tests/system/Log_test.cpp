// Logging: the console streams and texts of each level, and what reaches syslog (through a
// recording sink; this machine has no system logger).

#include "krvd/system/Log.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include "tests/support/ConsoleCapture.h"

namespace krvd {
namespace {

class RecordingSyslog final : public SyslogSink {
  public:
    void open(const char* ident, int option, int facility) override {
        ++opens;
        this->ident = ident;
        this->option = option;
        this->facility = facility;
    }
    void submit(int priority, const std::string& message) override {
        entries.emplace_back(priority, message);
    }
    int opens = 0;
    std::string ident;
    int option = -1;
    int facility = -1;
    std::vector<std::pair<int, std::string>> entries;
};

class LogTest : public ::testing::Test {
  protected:
    void SetUp() override { setSyslogSinkForTesting(&sink); }
    void TearDown() override { setSyslogSinkForTesting(nullptr); }
    RecordingSyslog sink;
};

TEST_F(LogTest, EachLevelWritesItsStreamAndPriority) {
    krvtest::ConsoleCapture console;
    logError("e");
    logWarning("w");
    logInfo("i");
    logDebug("d");
    EXPECT_EQ(console.err(), "krvd:e\nkrvd:w\n");
    EXPECT_EQ(console.out(), "krvd:i\nkrvd:d\n");
    const std::vector<std::pair<int, std::string>> expected = {
        {LOG_ERR, "e"}, {LOG_WARNING, "w"}, {LOG_INFO, "i"}, {LOG_DEBUG, "d"}};
    EXPECT_EQ(sink.entries, expected);
}

TEST_F(LogTest, OpensTheLogOnceWithTheDaemonIdentity) {
    krvtest::ConsoleCapture console;
    logInfo("first");
    logError("second");
    EXPECT_EQ(sink.opens, 1);
    EXPECT_EQ(sink.ident, "krvd");
    EXPECT_EQ(sink.option, 0);
    EXPECT_EQ(sink.facility, LOG_DAEMON);
}

TEST_F(LogTest, MessagesPassUnchangedUpToANulByte) {
    krvtest::ConsoleCapture console;
    logError("");
    logInfo("100%s done");
    logInfo(std::string("cut\0hidden", 10));
    EXPECT_EQ(console.err(), "krvd:\n");
    EXPECT_EQ(console.out(), "krvd:100%s done\nkrvd:cut\n");
    ASSERT_EQ(sink.entries.size(), 3U);
    EXPECT_EQ(sink.entries[0].second, "");
    EXPECT_EQ(sink.entries[1].second, "100%s done");
    EXPECT_EQ(sink.entries[2].second, "cut");
}

}  // namespace
}  // namespace krvd
