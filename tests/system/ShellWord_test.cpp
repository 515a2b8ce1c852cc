// Values placed in shell command lines: plain names stand as they are, anything else reaches
// the command as one literal argument.

#include "krvd/system/ShellWord.h"

#include <gtest/gtest.h>

#include "krvd/system/CommandRunner.h"

namespace krvd {
namespace {

TEST(ShellWord, PlainInterfaceNamesStayAsTheyAre) {
    for (const char* name : {"eth0", "eth0.5", "br-lan_1", "wlan0:1", "veth@if3"}) {
        EXPECT_EQ(shellWord(name), name);
    }
}

TEST(ShellWord, OtherNamesReachTheCommandLiterally) {
    for (const std::string name : {"x;reboot", "a b", "$(id)", "it's", "`x`", "a\nb", "*", ""}) {
        // printf %s prints its one argument back; the shell must neither split nor run it.
        const std::string echoed = runCommand("printf '%s|' " + shellWord(name), false);
        EXPECT_EQ(echoed, name.substr(0, name.find('\n')) +
                              (name.find('\n') == std::string::npos ? "|" : "\n"))
            << name;
    }
    EXPECT_EQ(shellWord("x;reboot"), "'x;reboot'");
    EXPECT_EQ(shellWord("it's"), "'it'\\''s'");
}

TEST(ShellWord, EndsAtANulByteAsTheShellWould) {
    // Quoting across the NUL would leave the quote open and break the whole command line.
    EXPECT_EQ(shellWord(std::string("eth0\0;reboot", 12)), "eth0");
    EXPECT_EQ(runCommand("printf '%s|' " + shellWord(std::string("a b\0c", 5)), false), "a b|");
}

}  // namespace
}  // namespace krvd
