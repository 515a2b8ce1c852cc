#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace krvctl {

// Bytes as they may safely reach a terminal: valid UTF-8 text stays as it is; control bytes,
// DEL, C1 controls and bytes that are not UTF-8 become \xNN, and a backslash becomes \\, so a
// hostile reply can neither move the cursor nor pass one value off as another.
std::string printable(std::string_view bytes);

// The columns printable text takes: one per character.
std::size_t displayWidth(std::string_view text);

}  // namespace krvctl
