// The parse operations of the setup protocol on their own, with the properties that tie them
// together: a split puts the text back together, the lenient address test accepts whatever the
// system's parser accepts, and what a parse stored reads back the same when written out again.

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "protocol/DatagramParser.h"
#include "protocol/MessageText.h"
#include "protocol/TextTransforms.h"

namespace {

void require(bool holds, const char* property, const std::string& input) {
    if (!holds) {
        std::fprintf(stderr, "property broken: %s; input of %zu bytes\n", property, input.size());
        std::abort();
    }
}

bool sameAssignments(const krv::SetupMessage& a, const krv::SetupMessage& b) {
    return a.ip == b.ip && a.netmask == b.netmask && a.gateway == b.gateway &&
           a.syslogip == b.syslogip && a.nameserver == b.nameserver && a.ntpip == b.ntpip &&
           a.ipscheme == b.ipscheme && a.utcclock == b.utcclock;
}

std::string writtenOut(const krv::SetupMessage& message) {
    std::string list;
    const auto add = [&list](const char* key, const std::string& value) {
        if (!value.empty()) {
            list += (list.empty() ? "" : "#") + std::string(key) + "=" + value;
        }
    };
    add("ip", message.ip);
    add("netmask", message.netmask);
    add("gateway", message.gateway);
    add("syslogip", message.syslogip);
    add("nameserver", message.nameserver);
    add("ntpip", message.ntpip);
    add("ipscheme", message.ipscheme);
    add("utcclock", message.utcclock);
    return list;
}

void checkSplit(const std::string& text) {
    const krv::SplitResult split = krv::splitFirst(text, '#');
    if (split.success) {
        require(split.head + "#" + split.tail == text, "split joins back", text);
        require(split.head.find('#') == std::string::npos, "split at the first separator", text);
    } else {
        require(split.tail.empty() && split.head == text, "no separator, whole head", text);
    }
}

void checkHeader(const std::string& text) {
    const bool expected =
        text.size() == 4 && text.starts_with("KRV") && !(text[3] >= '3' && text[3] <= '9');
    require(krv::checkHeader(text) == expected, "header rule", text);
}

void checkAddress(const std::string& text) {
    in_addr address{};
    if (text.find('\0') == std::string::npos && inet_pton(AF_INET, text.c_str(), &address) == 1) {
        require(krv::isIpv4Text(text), "lenient address test accepts every system address", text);
    }
}

void checkSeqid(const std::string& text) {
    krv::SetupMessage message;
    if (!krv::parseSeqid(text, message)) {
        return;
    }
    require(message.seqid.find_first_of("#;=") == std::string::npos, "seqid has no separator",
            text);
    // Echoed in an acknowledgement, it reads back as the same item.
    const std::string ack = krv::ackText(message.seqid, "AA", true);
    const krv::SplitResult magic = krv::splitFirst(ack, '#');
    const krv::SplitResult word = krv::splitFirst(magic.tail, '#');
    const krv::SplitResult item = krv::splitFirst(word.tail, '#');
    krv::SetupMessage again;
    require(krv::parseSeqid(item.head, again) && again.seqid == message.seqid,
            "seqid round trip through an ACK", text);
}

void checkMac(const std::string& text) {
    krv::SetupMessage message;
    if (!krv::parseMac(text, message)) {
        return;
    }
    const krv::SplitResult pair = krv::splitFirst(text, '=');
    require(message.mac == krv::upperCased(pair.tail), "MAC upper-cased", text);
    // Only the key "mac" has its groups checked; either way the stored value parses again.
    krv::SetupMessage again;
    require(krv::parseMac(pair.head + "=" + message.mac, again) && again.mac == message.mac,
            "MAC round trip", text);
}

void checkAssignments(const std::string& text) {
    krv::SetupMessage message;
    if (!krv::parseAssignments(text, message)) {
        return;
    }
    krv::SetupMessage again;
    require(krv::parseAssignments(writtenOut(message), again), "stored list parses again", text);
    require(sameAssignments(message, again), "assignment round trip", text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    checkSplit(text);
    checkHeader(text);
    checkAddress(text);
    checkSeqid(text);
    checkMac(text);
    checkAssignments(text);
    require(
        krv::isClearKey(text) == (text == "ntpip" || text == "syslogip" || text == "nameserver"),
        "clear keys", text);
    return 0;
}
