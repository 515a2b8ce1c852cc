#pragma once

#include <cstdint>
#include <string_view>

namespace tapsim {

// What one FIFO line asks for. Parsing is pure; evaluate_single_line acts on the result.
struct TouchLine {
    enum class Kind { Empty, Quit, Touch, Invalid };

    Kind kind = Kind::Empty;
    std::int64_t x = 0;
    std::int64_t y = 0;
    std::int64_t pressure = 0;
    // For Invalid: the name the failure is reported under and its error number.
    std::string_view errorPrefix;
    int error = 0;
};

// The white-space class of the POSIX locale: space, \t, \n, \v, \f, \r.
bool isLineSpace(char c);

// Reads "X Y P" (base-10 integers with optional sign, separated by white space, surrounded by
// optional white space), "quit", or an empty line. Any byte counts, a zero byte included.
TouchLine parse_touch_line(std::string_view line);

}  // namespace tapsim
