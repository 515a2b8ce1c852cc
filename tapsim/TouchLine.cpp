#include "tapsim/TouchLine.h"

#include <cerrno>
#include <cstdlib>
#include <string>

namespace tapsim {

namespace {

TouchLine invalid(std::string_view prefix, int error) {
    TouchLine line;
    line.kind = TouchLine::Kind::Invalid;
    line.errorPrefix = prefix;
    line.error = error;
    return line;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isLineSpace(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && isLineSpace(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

}  // namespace

bool isLineSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

TouchLine parse_touch_line(std::string_view line) {
    const std::string_view trimmed = trim(line);
    if (trimmed.empty()) {
        return {};
    }
    if (trimmed == "quit") {
        TouchLine quit;
        quit.kind = TouchLine::Kind::Quit;
        return quit;
    }

    // strtoll needs a terminator; a zero byte inside the line stops it early and then shows up
    // as a byte after the numbers, so such a line is refused rather than silently cut short.
    const std::string text(trimmed);
    const char* const begin = text.c_str();
    const char* const end = begin + text.size();
    const char* position = begin;
    std::int64_t numbers[3] = {};
    for (std::int64_t& number : numbers) {
        // strtoll would also take "1-2" or "1+2" as two numbers; only white space separates.
        if (position != begin && position != end && !isLineSpace(*position)) {
            return invalid("strtol", EINVAL);
        }
        char* stop = nullptr;
        errno = 0;
        const long long value = std::strtoll(position, &stop, 10);
        if (errno != 0) {
            return invalid("strtol", errno);
        }
        if (stop == position) {
            return invalid("strtol", EINVAL);
        }
        number = value;
        position = stop;
    }
    if (position != end) {
        return invalid("evaluate_single_line", EINVAL);
    }

    TouchLine touch;
    touch.kind = TouchLine::Kind::Touch;
    touch.x = numbers[0];
    touch.y = numbers[1];
    touch.pressure = numbers[2];
    return touch;
}

}  // namespace tapsim
