#include "krvctl/values/Assignment.h"

#include <algorithm>
#include <cctype>

#include "krvctl/values/Ipv4.h"
#include "krvctl/values/UtcClock.h"
#include "protocol/TextTransforms.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

template <std::size_t N>
std::string listOf(const std::array<std::string_view, N>& keys) {
    std::string list;
    for (const std::string_view key : keys) {
        list += list.empty() ? "" : ", ";
        list += key;
    }
    return list;
}

std::string knownKeys() {
    return listOf(wire::kAssignKeys);
}

// The checked value to send, or the reason it cannot be sent.
Result<std::string> checkValue(std::string_view key, const std::string& value) {
    if (key == wire::key::kIpscheme) {
        const std::string scheme = krv::upperCased(value);
        if (scheme != wire::kSchemeStatic && scheme != wire::kSchemeDhcp) {
            return Result<std::string>::failure("the address scheme is STATIC or DHCP");
        }
        return Result<std::string>::success(scheme);
    }
    if (key == wire::key::kUtcclock) {
        if (value == kClockNow) {
            return Result<std::string>::success(value);
        }
        const auto clock = parseUtcClock(value);
        return clock ? Result<std::string>::success(value)
                     : Result<std::string>::failure(clock.problem());
    }
    const auto address = parseDottedQuad(value);
    return address ? Result<std::string>::success(value)
                   : Result<std::string>::failure(address.problem());
}

// The setting as it will be sent, or why it cannot be; earlier holds the settings before it.
Result<Setting> checkSetting(const std::string& key, const std::string& value,
                             const Assignment& earlier) {
    if (std::find(wire::kAssignKeys.begin(), wire::kAssignKeys.end(), key) ==
        wire::kAssignKeys.end()) {
        return Result<Setting>::failure("no such setting; KEY is one of " + knownKeys());
    }
    if (earlier.find(key) != nullptr) {
        return Result<Setting>::failure(key + " is given twice");
    }
    const auto checked = checkValue(key, value);
    if (!checked) {
        return Result<Setting>::failure(checked.problem());
    }
    return Result<Setting>::success({key, checked.value()});
}

}  // namespace

const std::string* Assignment::find(std::string_view key) const {
    const auto setting = std::find_if(settings.begin(), settings.end(),
                                      [key](const Setting& s) { return s.key == key; });
    return setting == settings.end() ? nullptr : &setting->value;
}

bool Assignment::setsClockToNow() const {
    const std::string* clock = find(wire::key::kUtcclock);
    return clock != nullptr && *clock == kClockNow;
}

Result<Assignment> parseAssignmentArguments(const std::vector<std::string>& arguments) {
    const auto fail = [](const std::string& argument, const std::string& why) {
        return Result<Assignment>::failure("'" + argument + "': " + why);
    };
    if (arguments.empty()) {
        return Result<Assignment>::failure("nothing to assign; give KEY=VALUE, KEY one of " +
                                           knownKeys());
    }
    Assignment assignment;
    for (const std::string& argument : arguments) {
        const std::size_t equals = argument.find(wire::kValueSeparator);
        if (equals == std::string::npos) {
            return fail(argument, "write KEY=VALUE, KEY one of " + knownKeys());
        }
        auto setting =
            checkSetting(argument.substr(0, equals), argument.substr(equals + 1), assignment);
        if (!setting) {
            return fail(argument, setting.problem());
        }
        assignment.settings.push_back(std::move(setting.value()));
    }
    return Result<Assignment>::success(std::move(assignment));
}

AssignmentCheck checkSettings(const std::vector<Setting>& requested) {
    AssignmentCheck check;
    if (requested.empty()) {
        check.problems.push_back({"", "nothing to assign; KEY is one of " + knownKeys()});
    }
    Assignment seen;  // every key given, so a repeat is named even when the first was refused
    for (const Setting& wanted : requested) {
        auto setting = checkSetting(wanted.key, wanted.value, seen);
        seen.settings.push_back(wanted);
        if (!setting) {
            check.problems.push_back({wanted.key, setting.problem()});
        } else {
            check.assignment.settings.push_back(std::move(setting.value()));
        }
    }
    return check;
}

Result<std::string> checkClearSetting(std::string_view setting) {
    if (std::find(wire::kClearKeys.begin(), wire::kClearKeys.end(), setting) ==
        wire::kClearKeys.end()) {
        return Result<std::string>::failure("only a server setting can be cleared: " +
                                            listOf(wire::kClearKeys));
    }
    return Result<std::string>::success(std::string(setting));
}

std::string wireValue(const Setting& setting, std::int64_t nowSeconds) {
    if (setting.key == wire::key::kUtcclock && setting.value == kClockNow) {
        return formatUtcClock(nowSeconds);
    }
    return setting.value;
}

}  // namespace krvctl
