#include "krvctl/values/UtcClock.h"

#include <cstdio>

namespace krvctl {

namespace {

constexpr std::size_t kClockLength = 14;
constexpr int kFirstYear = 1970;
constexpr std::int64_t kSecondsPerDay = 86400;

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian calendar).
std::int64_t daysFromCivil(int year, int month, int day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const std::int64_t yearOfEra = year - era * 400;
    const std::int64_t dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

struct CivilDate {
    int year;
    int month;
    int day;
};

CivilDate civilFromDays(std::int64_t days) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const int month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    return {year, month, day};
}

int number(std::string_view text, std::size_t from, std::size_t length) {
    int value = 0;
    for (std::size_t i = from; i < from + length; ++i) {
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

}  // namespace

Result<std::int64_t> parseUtcClock(std::string_view text) {
    const auto fail = [](const std::string& why) {
        return Result<std::int64_t>::failure("a UTC time is YYYYMMDDhhmmss (or now): " + why);
    };
    if (text.size() != kClockLength) {
        return fail("it has 14 digits, not " + std::to_string(text.size()) + " characters");
    }
    if (text.find_first_not_of("0123456789") != std::string_view::npos) {
        return fail("digits only");
    }
    const int year = number(text, 0, 4);
    const int month = number(text, 4, 2);
    const int day = number(text, 6, 2);
    const int hour = number(text, 8, 2);
    const int minute = number(text, 10, 2);
    const int second = number(text, 12, 2);
    if (year < kFirstYear) {
        return fail("the year must be 1970 or later");
    }
    if (month < 1 || month > 12) {
        return fail("month " + std::to_string(month) + " does not exist");
    }
    if (day < 1 || day > daysInMonth(year, month)) {
        return fail("day " + std::to_string(day) + " does not exist in that month");
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return fail("the time of day runs from 000000 to 235959");
    }
    return Result<std::int64_t>::success(daysFromCivil(year, month, day) * kSecondsPerDay +
                                         hour * 3600 + minute * 60 + second);
}

std::string formatUtcClock(std::int64_t secondsSinceEpoch) {
    std::int64_t days = secondsSinceEpoch / kSecondsPerDay;
    std::int64_t seconds = secondsSinceEpoch % kSecondsPerDay;
    if (seconds < 0) {
        seconds += kSecondsPerDay;
        --days;
    }
    const CivilDate date = civilFromDays(days);
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d%02d%02d%02d", date.year, date.month, date.day,
                  static_cast<int>(seconds / 3600), static_cast<int>(seconds / 60 % 60),
                  static_cast<int>(seconds % 60));
    return text;
}

std::string formatOffset(std::int64_t seconds) {
    const char sign = seconds < 0 ? '-' : '+';
    const std::uint64_t magnitude =
        seconds < 0 ? 0 - static_cast<std::uint64_t>(seconds) : static_cast<std::uint64_t>(seconds);
    char text[48];
    if (magnitude < 60) {
        std::snprintf(text, sizeof text, "%c%llus", sign,
                      static_cast<unsigned long long>(magnitude));
    } else if (magnitude < 3600) {
        std::snprintf(text, sizeof text, "%c%llum%02llus", sign,
                      static_cast<unsigned long long>(magnitude / 60),
                      static_cast<unsigned long long>(magnitude % 60));
    } else if (magnitude < 86400) {
        std::snprintf(text, sizeof text, "%c%lluh%02llum", sign,
                      static_cast<unsigned long long>(magnitude / 3600),
                      static_cast<unsigned long long>(magnitude / 60 % 60));
    } else {
        std::snprintf(text, sizeof text, "%c%llud%02lluh", sign,
                      static_cast<unsigned long long>(magnitude / 86400),
                      static_cast<unsigned long long>(magnitude / 3600 % 24));
    }
    return text;
}

}  // namespace krvctl
