#include "krvctl/values/Printable.h"

#include <cstdint>
#include <cstdio>

namespace krvctl {

namespace {

// The length of the well-formed UTF-8 sequence at the start of bytes, or 0.
std::size_t utf8SequenceLength(std::string_view bytes) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    std::uint32_t codePoint = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1Fu;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0Fu;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07u;
    } else {
        return 0;
    }
    if (bytes.size() < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0u) != 0x80u) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(i) & 0x3Fu);
    }
    const bool overlong =
        (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xD800 && codePoint <= 0xDFFF;
    const bool c1Control = codePoint >= 0x80 && codePoint <= 0x9F;
    if (overlong || surrogate || c1Control || codePoint > 0x10FFFF) {
        return 0;
    }
    return length;
}

}  // namespace

std::string printable(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '\\') {
            text += "\\\\";
            ++i;
        } else if (c >= 0x20 && c < 0x7F) {
            text += static_cast<char>(c);
            ++i;
        } else if (const std::size_t length = c >= 0x80 ? utf8SequenceLength(bytes.substr(i)) : 0;
                   length > 0) {
            text.append(bytes.substr(i, length));
            i += length;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
            text += escaped;
            ++i;
        }
    }
    return text;
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    for (const char c : text) {
        // Continuation bytes belong to the character before them.
        if ((static_cast<unsigned char>(c) & 0xC0u) != 0x80u) {
            ++width;
        }
    }
    return width;
}

}  // namespace krvctl
