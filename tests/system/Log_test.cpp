// Logging: the console streams and texts of each level, what reaches syslog (through a
// recording sink; this machine has no system logger), and their order of arrival.

#include "krvd/system/Log.h"

#include <syslog.h>

#include <gtest/gtest.h>

#include <iostream>
#include <streambuf>
#include <string>

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

// One arrival order for everything, as the journal sees it: standard output arrives when it is
// flushed, standard error at once, syslog entries when submitted.
class JournalStream : public std::streambuf {
  public:
    JournalStream(std::string& journal, bool buffered) : journal_(journal), buffered_(buffered) {}

  protected:
    int overflow(int c) override {
        if (c != traits_type::eof()) {
            const char byte = traits_type::to_char_type(c);
            xsputn(&byte, 1);
        }
        return c;
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        pending_.append(text, static_cast<std::size_t>(count));
        if (!buffered_) {
            sync();
        }
        return count;
    }
    int sync() override {
        journal_ += pending_;
        pending_.clear();
        return 0;
    }

  private:
    std::string& journal_;
    bool buffered_;
    std::string pending_;
};

class JournalSyslog final : public SyslogSink {
  public:
    explicit JournalSyslog(std::string& journal) : journal_(journal) {}
    void open(const char*, int, int) override {}
    void submit(int, const std::string& message) override {
        journal_ += "syslog " + message + "\n";
    }

  private:
    std::string& journal_;
};

TEST(LogOrder, NoLineOvertakesAnEarlierOneOnTheirWayToTheJournal) {
    std::string journal;
    JournalStream out(journal, true);
    JournalStream err(journal, false);
    JournalSyslog syslog(journal);
    setSyslogSinkForTesting(&syslog);
    std::streambuf* const oldOut = std::cout.rdbuf(&out);
    std::streambuf* const oldErr = std::cerr.rdbuf(&err);
    std::cout << "echo of a datagram\n";
    logInfo("reading");
    std::cout << "echo of another\n";
    logError("failed");
    logWarning("bad clock");
    std::cout.rdbuf(oldOut);
    std::cerr.rdbuf(oldErr);
    setSyslogSinkForTesting(nullptr);
    EXPECT_EQ(journal,
              "echo of a datagram\nkrvd:reading\nsyslog reading\n"
              "echo of another\nkrvd:failed\nsyslog failed\nkrvd:bad clock\nsyslog bad clock\n");
}

}  // namespace
}  // namespace krvd
