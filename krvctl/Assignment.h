#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/Result.h"

namespace krvctl {

struct Setting {
    std::string key;    // one of the keys an ASSIGN may carry
    std::string value;  // checked; utcclock may be "now"
};

// What one assign command asks of a controller, every value already checked.
struct Assignment {
    std::vector<Setting> settings;  // in the order given, each key once

    const std::string* find(std::string_view key) const;
    bool setsClockToNow() const;
};

inline constexpr std::string_view kClockNow = "now";

// KEY=VALUE arguments: addresses as strict dotted quads, ipscheme STATIC or DHCP (any case),
// utcclock a real UTC instant as YYYYMMDDhhmmss or "now". The problem names the argument.
Result<Assignment> parseAssignmentArguments(const std::vector<std::string>& arguments);

// The value that goes on the wire; "now" becomes this machine's clock at sending time.
std::string wireValue(const Setting& setting, std::int64_t nowSeconds);

}  // namespace krvctl
