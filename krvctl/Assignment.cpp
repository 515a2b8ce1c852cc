#include "krvctl/Assignment.h"

#include <algorithm>
#include <cctype>

#include "krvctl/Ipv4.h"
#include "krvctl/UtcClock.h"
#include "protocol/Wire.h"

namespace krvctl {

namespace wire = krv::wire;

namespace {

std::string knownKeys() {
    std::string list;
    for (const std::string_view key : wire::kAssignKeys) {
        list += list.empty() ? "" : ", ";
        list += key;
    }
    return list;
}

std::string upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The checked value to send, or the reason it cannot be sent.
Result<std::string> checkValue(std::string_view key, const std::string& value) {
    if (key == wire::key::kIpscheme) {
        const std::string scheme = upper(value);
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
        const std::string key = argument.substr(0, equals);
        const std::string value = argument.substr(equals + 1);
        if (std::find(wire::kAssignKeys.begin(), wire::kAssignKeys.end(), key) ==
            wire::kAssignKeys.end()) {
            return fail(argument, "no such setting; KEY is one of " + knownKeys());
        }
        if (assignment.find(key) != nullptr) {
            return fail(argument, key + " is given twice");
        }
        const auto checked = checkValue(key, value);
        if (!checked) {
            return fail(argument, checked.problem());
        }
        assignment.settings.push_back({key, checked.value()});
    }
    return Result<Assignment>::success(std::move(assignment));
}

std::string wireValue(const Setting& setting, std::int64_t nowSeconds) {
    if (setting.key == wire::key::kUtcclock && setting.value == kClockNow) {
        return formatUtcClock(nowSeconds);
    }
    return setting.value;
}

}  // namespace krvctl
