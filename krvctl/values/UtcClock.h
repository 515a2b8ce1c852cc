#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "krvctl/values/Result.h"

namespace krvctl {

// The protocol's clock text, YYYYMMDDhhmmss in UTC, as seconds since 1970-01-01 00:00:00 UTC.
// Only real calendar instants from 1970 on are accepted (no month 13, no 30 February, no
// leap second), so a value the controller's date command would misread never gets sent.
Result<std::int64_t> parseUtcClock(std::string_view text);

std::string formatUtcClock(std::int64_t secondsSinceEpoch);

// A clock difference for people: "+0s", "-4s", "+12m05s", "-3h20m", "+2d07h".
std::string formatOffset(std::int64_t seconds);

}  // namespace krvctl
