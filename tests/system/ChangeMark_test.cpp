// The mark a change leaves on disk, read back by the next daemon: whole records, one line per
// value whatever the request held, and taken only once. Its use by the handler:
// CommandHandler_test.cpp; at start-up: MessageDispatcher_test.cpp.
#include "krvd/system/ChangeMark.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/TempDir.h"

namespace krvd {
namespace {

TEST(ChangeMark, ARecordComesBackOnceAndNoRequestCanForgeALineOfItsOwn) {
    krvtest::TempDir dir;
    const ChangeMark mark(dir.file("run/change-in-progress"));
    EXPECT_FALSE(mark.takeLeftOver());

    ChangeRecord record;
    record.command = "ASSIGN";
    record.seqid = "77";
    record.mac = "00:11:22:AA:BB:CC";
    record.request = "ntpip=192.0.2.9\nstep=99\ncommandline=rm -rf /";
    record.step = 2;
    record.commandLine = "trelsetup setsyslogserver 192.0.2.8\r";
    // The folder is made when missing, as off the service manager.
    ASSERT_TRUE(mark.write(record));
    record.step = 3;
    ASSERT_TRUE(mark.write(record));

    const auto left = mark.takeLeftOver();
    ASSERT_TRUE(left);
    EXPECT_EQ(left->command, "ASSIGN");
    EXPECT_EQ(left->seqid, "77");
    EXPECT_EQ(left->mac, "00:11:22:AA:BB:CC");
    EXPECT_EQ(left->request, "ntpip=192.0.2.9?step=99?commandline=rm -rf /");
    EXPECT_EQ(left->step, 3u);
    EXPECT_EQ(left->commandLine, "trelsetup setsyslogserver 192.0.2.8?");
    EXPECT_EQ(describeCutOff(*left),
              "Change cut off by the end of the previous krvd: ASSIGN seqid=77 for MAC "
              "00:11:22:AA:BB:CC (ntpip=192.0.2.9?step=99?commandline=rm -rf /) stopped at "
              "command 3, \"trelsetup setsyslogserver 192.0.2.8?\"; its ACK said accept=yes, the "
              "settings may be partly written");
    EXPECT_FALSE(mark.takeLeftOver());
    EXPECT_FALSE(std::filesystem::exists(dir.file("run/change-in-progress.new")));
}

}  // namespace
}  // namespace krvd
