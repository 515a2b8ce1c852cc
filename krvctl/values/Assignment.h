#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "krvctl/values/Result.h"

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

struct SettingProblem {
    std::string key;  // as given; empty for a problem of the whole assignment
    std::string problem;
};

// The same checks as for arguments, but every problem at once, each beside its key, as a form
// shows them next to its fields. Nothing may be sent unless problems is empty.
struct AssignmentCheck {
    Assignment assignment;  // the settings that passed, in the order given
    std::vector<SettingProblem> problems;
};
AssignmentCheck checkSettings(const std::vector<Setting>& requested);

// A setting CLEAR can remove (ntpip, syslogip, nameserver), or why it is none.
Result<std::string> checkClearSetting(std::string_view setting);

// The value that goes on the wire; "now" becomes this machine's clock at sending time.
std::string wireValue(const Setting& setting, std::int64_t nowSeconds);

}  // namespace krvctl
