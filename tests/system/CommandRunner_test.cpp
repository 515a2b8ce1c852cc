// The command runner against the real /bin/sh: what comes back of a command's output.

#include "krvd/system/CommandRunner.h"

#include <gtest/gtest.h>

namespace krvd {
namespace {

struct RunnerCase {
    const char* command;
    const char* firstLine;
    const char* word;
};

TEST(CommandRunner, ReturnsTheFirstLineOrItsFirstWord) {
    const RunnerCase cases[] = {
        {"printf 'abc def\\nsecond\\n'", "abc def\n", "abc"},
        {"true", "", ""},
        {"printf '\\nword\\n'", "\n", ""},
        {"printf '   x   y\\n'", "   x   y\n", "x"},
        {"printf 'x\\r\\n'", "x\r\n", "x"},
        {"printf 'ERROR::broken here\\n'", "ERROR::broken here\n", "ERROR::broken"},
        {"echo 42; exit 3", "42\n", "42"},
        {"printf 'ab\\0cd\\n'", "ab", "ab"},
        {"printf 'no newline'", "no newline", "no"},
        {"printf '\\t \\v\\f'", "\t \v\f", ""},
        {"krvd-no-such-command-here 2>/dev/null", "", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(runCommand(c.command, false), c.firstLine) << c.command;
        EXPECT_EQ(runCommand(c.command, true), c.word) << c.command;
    }
}

TEST(CommandRunner, CutsALongFirstLineAfter510Bytes) {
    const std::string command = "head -c 600 /dev/zero | tr '\\0' 'a'";
    EXPECT_EQ(runCommand(command, false), std::string(510, 'a'));
    EXPECT_EQ(runCommand(command, true), std::string(510, 'a'));
}

TEST(CommandRunner, DoesNotWaitForOutputAfterTheFirstLine) {
    // The rest of the output is never read: a writer of endless lines must still end.
    EXPECT_EQ(runCommand("yes first", true), "first");
}

}  // namespace
}  // namespace krvd
