#pragma once

#include <string>

namespace krv {

// Every byte through toupper; bytes above 0x7F and NUL are handled like any other byte.
std::string upperCased(const std::string& text);
// Every byte through tolower, as upperCased.
std::string lowerCased(const std::string& text);
// Drops every CR, LF and TAB wherever it stands, so a system value fits one reply item.
std::string withoutLineBreaks(const std::string& text);

}  // namespace krv
