// The command line and the last-resort exception report, in-process.

#include "krvd/core/EntryPoint.h"

#include <stdexcept>

#include <gtest/gtest.h>

#include "tests/support/ConsoleCapture.h"
#include "tests/support/FakeInterfaceLister.h"
#include "tests/support/FakeShell.h"
#include "tests/support/QuietSyslog.h"
#include "tests/support/RecordingSleeper.h"
#include "tests/support/RecordingSockets.h"

namespace krvd {
namespace {

using krvtest::ConsoleCapture;

class ThrowingShell final : public ShellRunner {
  public:
    std::string runCommand(const std::string&, bool) override {
        throw std::runtime_error("shell gone");
    }
    int runForStatus(const std::string&) override { throw std::runtime_error("shell gone"); }
};

struct EntryPointTest : ::testing::Test {
    // Reaching the network is a fault in these tests: the socket fails and the test program
    // ends at once, instead of listening for ever.
    EntryPointTest() { sockets.failures["socket udp"] = EACCES; }
    int run(std::vector<const char*> args) {
        args.insert(args.begin(), "krvd");
        return runKrvd(static_cast<int>(args.size()), args.data(),
                       {shell, interfaces, sleeper, sockets, {}});
    }
    krvtest::QuietSyslog quiet;
    krvtest::FakeShell shell;
    krvtest::FakeInterfaceLister interfaces;
    krvtest::RecordingSleeper sleeper;
    krvtest::RecordingSockets sockets;
};

TEST_F(EntryPointTest, VersionAndUsageTouchNothing) {
    const struct {
        std::vector<const char*> args;
        const char* out;
    } cases[] = {
        {{"--version"}, "Version: 4.12\n"},
        {{"--version", "extra", "words"}, "Version: 4.12\n"},
        {{"--VERSION"}, "Usage: krvd [--version]\n"},
        {{"--vers"}, "Usage: krvd [--version]\n"},
        {{"-h", "--version"}, "Usage: krvd [--version]\n"},
    };
    for (const auto& c : cases) {
        ConsoleCapture console;
        EXPECT_EQ(run(c.args), 0);
        EXPECT_EQ(console.out(), c.out);
        EXPECT_EQ(console.err(), "");
    }
    EXPECT_TRUE(shell.lines().empty());
}

TEST_F(EntryPointTest, ExceptionDuringTheStartUpReadIsReportedAsAFailureWithoutBanner) {
    ThrowingShell throwing;
    ConsoleCapture console;
    const char* argv[] = {"krvd"};
    // A non-zero status is what makes the service manager restart the daemon.
    EXPECT_EQ(runKrvd(1, argv, {throwing, interfaces, sleeper, sockets, {}}), 1);
    EXPECT_EQ(console.err(), "Exception: shell gone\n");
    EXPECT_EQ(console.out().find("Listening"), std::string::npos);
}

}  // namespace
}  // namespace krvd
