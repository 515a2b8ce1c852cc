#include "protocol/TextTransforms.h"

#include <algorithm>
#include <cctype>

namespace krv {

std::string upperCased(const std::string& text) {
    std::string result = text;
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return result;
}

std::string lowerCased(const std::string& text) {
    std::string result = text;
    std::transform(result.begin(), result.end(), result.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return result;
}

std::string withoutLineBreaks(const std::string& text) {
    std::string result = text;
    std::erase_if(result, [](char c) { return c == '\r' || c == '\n' || c == '\t'; });
    return result;
}

}  // namespace krv
