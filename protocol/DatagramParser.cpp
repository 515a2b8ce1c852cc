#include "protocol/DatagramParser.h"

#include <algorithm>
#include <string_view>

#include "protocol/TextTransforms.h"
#include "protocol/Wire.h"

namespace krv {

namespace {

using wire::kForbiddenInValues;
using wire::kIpv4PartSeparator;
using wire::kItemSeparator;
using wire::kMacGroupSeparator;
using wire::kValueSeparator;
constexpr int kMacGroups = 6;
constexpr int kIpv4Parts = 4;

bool isDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

bool isHexDigit(char c) {
    return isDecimalDigit(c) || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool holdsForbiddenByte(const std::string& text) {
    return text.find_first_of(kForbiddenInValues.data(), 0, kForbiddenInValues.size()) !=
           std::string::npos;
}

// Digits only, value at most 255; the empty part counts as 0. Leading zeros are skipped and at
// most three digits are evaluated, so a digit string of any length cannot overflow.
bool isIpv4Part(const std::string& part) {
    for (char c : part) {
        if (!isDecimalDigit(c)) {
            return false;
        }
    }
    const std::size_t firstSignificant = part.find_first_not_of('0');
    if (firstSignificant == std::string::npos) {
        return true;
    }
    if (part.size() - firstSignificant > 3) {
        return false;
    }
    int value = 0;
    for (std::size_t i = firstSignificant; i < part.size(); ++i) {
        value = value * 10 + (part[i] - '0');
    }
    return value <= 255;
}

bool isAddressKey(const std::string& key) {
    using namespace wire::key;
    return key == kIp || key == kNetmask || key == kGateway || key == kSyslogip ||
           key == kNameserver || key == kNtpip;
}

std::string& addressField(const std::string& key, SetupMessage& message) {
    using namespace wire::key;
    if (key == kIp) {
        return message.ip;
    }
    if (key == kNetmask) {
        return message.netmask;
    }
    if (key == kGateway) {
        return message.gateway;
    }
    if (key == kSyslogip) {
        return message.syslogip;
    }
    if (key == kNameserver) {
        return message.nameserver;
    }
    return message.ntpip;
}

}  // namespace

SplitResult splitFirst(const std::string& text, char separator) {
    SplitResult result;
    if (text.empty()) {
        return result;
    }
    const std::size_t at = text.find(separator);
    if (at == std::string::npos) {
        result.head = text;
        return result;
    }
    result.success = true;
    result.head = text.substr(0, at);
    result.tail = text.substr(at + 1);
    return result;
}

bool checkHeader(const std::string& head) {
    if (head.size() != wire::kMagic.size() + 1 || !head.starts_with(wire::kMagic)) {
        return false;
    }
    const char versionByte = head.back();
    const int version = isDecimalDigit(versionByte) ? versionByte - '0' : 0;
    return version <= wire::kVersionByte - '0';
}

bool parseSeqid(const std::string& item, SetupMessage& message) {
    const SplitResult pair = splitFirst(item, kValueSeparator);
    if (pair.head != wire::key::kSeqid || holdsForbiddenByte(pair.tail)) {
        return false;
    }
    message.seqid = pair.tail;
    return true;
}

bool parseMac(const std::string& item, SetupMessage& message) {
    const SplitResult pair = splitFirst(item, kValueSeparator);
    if (pair.head == wire::key::kMac) {
        std::string rest = pair.tail;
        for (int group = 0; group < kMacGroups; ++group) {
            SplitResult split = splitFirst(rest, kMacGroupSeparator);
            const std::string& text = split.head;
            if (text.size() == 2 && !(isHexDigit(text[0]) && isHexDigit(text[1]))) {
                return false;
            }
            rest = std::move(split.tail);
        }
    }
    message.mac = upperCased(pair.tail);
    return true;
}

bool parseAssignments(const std::string& list, SetupMessage& message) {
    std::string rest = list;
    // Each round consumes at least one byte, so the loop ends within the list's length.
    while (true) {
        SplitResult split = splitFirst(rest, kItemSeparator);
        if (split.head.empty()) {
            return true;
        }
        if (!parseAssignment(split.head, message)) {
            return false;
        }
        rest = std::move(split.tail);
    }
}

bool parseAssignment(const std::string& item, SetupMessage& message) {
    const SplitResult pair = splitFirst(item, kValueSeparator);
    const std::string& key = pair.head;
    const std::string& value = pair.tail;
    if (key.empty() || value.empty()) {
        return false;
    }
    if (isAddressKey(key) && isIpv4Text(value)) {
        addressField(key, message) = value;
        return true;
    }
    if (key == wire::key::kIpscheme) {
        if (value != wire::kSchemeStatic && value != wire::kSchemeDhcp) {
            return false;
        }
        message.ipscheme = value;
        return true;
    }
    if (key == wire::key::kUtcclock) {
        message.utcclock = value;
        return true;
    }
    // Items this controller cannot use are skipped rather than refused.
    return !holdsForbiddenByte(key) && !holdsForbiddenByte(value);
}

bool isIpv4Text(const std::string& text) {
    std::string rest = text;
    for (int part = 0; part < kIpv4Parts; ++part) {
        SplitResult split = splitFirst(rest, kIpv4PartSeparator);
        if (!isIpv4Part(split.head)) {
            return false;
        }
        rest = std::move(split.tail);
    }
    return true;
}

bool isClearKey(const std::string& text) {
    return std::find(wire::kClearKeys.begin(), wire::kClearKeys.end(), text) !=
           wire::kClearKeys.end();
}

}  // namespace krv
