#include "krvd/system/ShellWord.h"

#include <algorithm>

namespace krvd {

namespace {

bool isPlainByte(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == ':' || c == '@';
}

}  // namespace

std::string shellWord(const std::string& text) {
    // The shell receives a C string: what follows a NUL byte would never reach it, and quoting
    // across the NUL would leave the quote open.
    const std::string value = text.substr(0, text.find('\0'));
    if (!value.empty() && std::all_of(value.begin(), value.end(), [](char c) {
            return isPlainByte(static_cast<unsigned char>(c));
        })) {
        return value;
    }
    std::string quoted = "'";
    for (const char c : value) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace krvd
