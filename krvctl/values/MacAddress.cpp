#include "krvctl/values/MacAddress.h"

#include <cctype>

#include "protocol/Wire.h"

namespace krvctl {

namespace {

constexpr std::size_t kOctets = 6;
constexpr std::size_t kBareLength = 2 * kOctets;
constexpr std::size_t kSeparatedLength = 3 * kOctets - 1;

bool isHex(char c) {
    return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

// The two hex digits of each octet, wherever the form puts them.
std::size_t octetStart(std::size_t octet, bool separated) {
    return separated ? 3 * octet : 2 * octet;
}

}  // namespace

Result<std::string> normalizeMac(std::string_view text) {
    const bool separated = text.size() == kSeparatedLength;
    if (!separated && text.size() != kBareLength) {
        return Result<std::string>::failure(
            "a MAC address is six hex octets, such as 02:00:00:4B:10:01");
    }
    if (separated) {
        const char separator = text[2];
        for (std::size_t at = 2; at < text.size(); at += 3) {
            if ((separator != ':' && separator != '-') || text[at] != separator) {
                return Result<std::string>::failure(
                    "separate the octets of a MAC address all with ':' or all with '-'");
            }
        }
    }
    std::string mac;
    for (std::size_t octet = 0; octet < kOctets; ++octet) {
        const std::size_t at = octetStart(octet, separated);
        if (!isHex(text[at]) || !isHex(text[at + 1])) {
            return Result<std::string>::failure("a MAC address holds hex digits only (0-9, A-F)");
        }
        if (octet > 0) {
            mac += krv::wire::kMacGroupSeparator;
        }
        for (std::size_t i = at; i < at + 2; ++i) {
            mac += static_cast<char>(std::toupper(static_cast<unsigned char>(text[i])));
        }
    }
    return Result<std::string>::success(mac);
}

}  // namespace krvctl
