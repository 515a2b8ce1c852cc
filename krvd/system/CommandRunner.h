#pragma once

#include <string>

namespace krvd {

// Runs one command line through /bin/sh and returns the first line of its standard output
// (newline included, at most 510 bytes, cut at a NUL byte), or only the first word of that
// line. The exit status is not looked at; "ERROR::popen" when no shell could be started.
std::string runCommand(const std::string& commandLine, bool firstWordOnly);

// The first word of a text, white space as in the "C" locale.
std::string firstWord(const std::string& text);

}  // namespace krvd
