#pragma once

#include <string>

namespace krvd {

// A value for a shell command line: names made only of letters, digits and ". _ - : @" stand
// as they are; anything else is single-quoted so the shell passes it on literally and cannot
// run what it holds (a name such as "x;reboot" from the interface-selection file).
// The shell never sees anything after a NUL byte, so the value ends there.
std::string shellWord(const std::string& text);

}  // namespace krvd
