#include "krvd/protocol/DatagramParser.h"

#include <string_view>

#include "krvd/protocol/TextTransforms.h"

namespace krvd {

namespace {

constexpr char kItemSeparator = '#';
constexpr char kValueSeparator = '=';
constexpr char kMacGroupSeparator = ':';
constexpr char kIpv4PartSeparator = '.';
constexpr std::string_view kForbiddenInValues = "#;=";
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
    return key == "ip" || key == "netmask" || key == "gateway" || key == "syslogip" ||
           key == "nameserver" || key == "ntpip";
}

std::string& addressField(const std::string& key, SetupMessage& message) {
    if (key == "ip") {
        return message.ip;
    }
    if (key == "netmask") {
        return message.netmask;
    }
    if (key == "gateway") {
        return message.gateway;
    }
    if (key == "syslogip") {
        return message.syslogip;
    }
    if (key == "nameserver") {
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
    if (head.size() != 4 || head.compare(0, 3, "KRV") != 0) {
        return false;
    }
    const char versionByte = head[3];
    const int version = isDecimalDigit(versionByte) ? versionByte - '0' : 0;
    return version <= 2;
}

bool parseSeqid(const std::string& item, SetupMessage& message) {
    const SplitResult pair = splitFirst(item, kValueSeparator);
    if (pair.head != "seqid" || holdsForbiddenByte(pair.tail)) {
        return false;
    }
    message.seqid = pair.tail;
    return true;
}

bool parseMac(const std::string& item, SetupMessage& message) {
    const SplitResult pair = splitFirst(item, kValueSeparator);
    if (pair.head == "mac") {
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
    if (key == "ipscheme") {
        if (value != "STATIC" && value != "DHCP") {
            return false;
        }
        message.ipscheme = value;
        return true;
    }
    if (key == "utcclock") {
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
    return text == "ntpip" || text == "syslogip" || text == "nameserver";
}

}  // namespace krvd
