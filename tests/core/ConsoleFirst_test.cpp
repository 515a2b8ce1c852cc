// Standard output written out before each command and the pause, over a scripted shell and a
// recording sleeper. The dispatcher's use of it: MessageDispatcher_test.cpp; the journal's order
// on a booted controller: the image tests.
#include "krvd/core/ConsoleFirst.h"

#include <gtest/gtest.h>

#include <iostream>

#include "tests/support/FakeShell.h"
#include "tests/support/LineFlushRecorder.h"
#include "tests/support/RecordingSleeper.h"

namespace krvd {
namespace {

using krvtest::FakeShell;
using krvtest::LineFlushRecorder;

TEST(ConsoleFirst, EveryCommandAndThePauseFindEarlierLinesWrittenOut) {
    krvtest::EventLog timeline;
    FakeShell shell(&timeline);
    krvtest::RecordingSleeper sleeper(&timeline);
    KeepAlive unsupervised;
    ConsoleFirstShell firstShell(shell, unsupervised);
    ConsoleFirstSleeper firstSleeper(sleeper, unsupervised);
    LineFlushRecorder output(timeline);
    std::cout << "before the query\n";
    firstShell.runCommand("trelsetup getsdk", true);
    std::cout << "before the change\n";
    firstShell.runForStatus("trelsetup timeserver 192.0.2.9");
    std::cout << "before the pause\n";
    firstSleeper.sleepSeconds(5);
    EXPECT_EQ(
        timeline.events,
        (std::vector<std::string>{
            "flush: before the query", "shell: trelsetup getsdk", "flush: before the change",
            "status: trelsetup timeserver 192.0.2.9", "flush: before the pause", "sleep: 5"}));
}

}  // namespace
}  // namespace krvd
