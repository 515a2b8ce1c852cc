#include "krvctl/values/Ipv4.h"

#include "protocol/Wire.h"

namespace krvctl {

namespace {

constexpr int kParts = 4;
constexpr unsigned kPartMax = 255;

}  // namespace

Result<std::uint32_t> parseDottedQuad(std::string_view text) {
    const auto fail = [](std::string why) {
        return Result<std::uint32_t>::failure(std::move(why));
    };
    std::uint32_t address = 0;
    std::string_view rest = text;
    for (int part = 0; part < kParts; ++part) {
        const std::size_t dot = rest.find(krv::wire::kIpv4PartSeparator);
        const bool last = part == kParts - 1;
        if (last != (dot == std::string_view::npos)) {
            return fail("an IPv4 address is four numbers separated by dots, such as 192.0.2.10");
        }
        const std::string_view digits = rest.substr(0, dot);
        if (digits.empty() || digits.size() > 3 ||
            digits.find_first_not_of("0123456789") != std::string_view::npos) {
            return fail("an IPv4 address is four numbers from 0 to 255 separated by dots");
        }
        if (digits.size() > 1 && digits.front() == '0') {
            return fail("a leading zero in '" + std::string(digits) +
                        "' is read as octal by some tools; write it without");
        }
        unsigned value = 0;
        for (const char digit : digits) {
            value = value * 10 + static_cast<unsigned>(digit - '0');
        }
        if (value > kPartMax) {
            return fail(std::to_string(value) + " is above 255");
        }
        address = (address << 8) | value;
        rest = last ? std::string_view() : rest.substr(dot + 1);
    }
    return Result<std::uint32_t>::success(address);
}

std::string formatDottedQuad(std::uint32_t address) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        text += std::to_string((address >> shift) & 0xFFu);
        if (shift > 0) {
            text += krv::wire::kIpv4PartSeparator;
        }
    }
    return text;
}

std::optional<int> prefixLength(std::uint32_t netmask) {
    const std::uint32_t hostBits = ~netmask;
    // Contiguous exactly when the host part is a run of ones from the bottom.
    if ((hostBits & (hostBits + 1)) != 0) {
        return std::nullopt;
    }
    int length = 0;
    for (std::uint32_t bit = 0x80000000u; bit != 0 && (netmask & bit) != 0; bit >>= 1) {
        ++length;
    }
    return length;
}

}  // namespace krvctl
