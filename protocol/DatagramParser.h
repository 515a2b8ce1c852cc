#pragma once

#include <string>

#include "protocol/SetupMessage.h"

namespace krv {

// Inbound grammar of the setup protocol. Every operation works on byte strings of any content
// (NUL and bytes above 0x7F included) and reports malformed input only through its result.

struct SplitResult {
    bool success = false;  // false when the text is empty or holds no separator
    std::string head;      // the whole text when there is no separator
    std::string tail;
};

// Splits at the first separator byte.
SplitResult splitFirst(const std::string& text, char separator);

// The part of a datagram before its first "#": "KRV" and a version byte of at most 2; a
// non-digit version byte counts as version 0.
bool checkHeader(const std::string& head);

// "seqid=VALUE"; an item without "=" gives an empty seqid. VALUE must not hold "#", ";", "=".
bool parseSeqid(const std::string& item, SetupMessage& message);

// Stores the value after the first "=" upper-cased, whatever the key. Only for the key "mac"
// must each two-byte group among the first six ":"-groups be two hex digits.
bool parseMac(const std::string& item, SetupMessage& message);

// "#"-separated assignments, left to right, up to the end or the first empty item. Stops at the
// first bad item; what earlier items stored stays stored.
bool parseAssignments(const std::string& list, SetupMessage& message);

// One "key=value" item. Address items whose value is not IPv4 text and unknown keys are skipped
// unless they hold "#", ";" or "=".
bool parseAssignment(const std::string& item, SetupMessage& message);

// Lenient dotted-quad test: the first four "."-parts must be decimal digits of value at most
// 255 (leading zeros allowed, empty or missing parts count as 0); anything after is ignored.
bool isIpv4Text(const std::string& text);

// The setting names CLEAR accepts: "ntpip", "syslogip", "nameserver".
bool isClearKey(const std::string& text);

}  // namespace krv
