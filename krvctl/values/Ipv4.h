#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "krvctl/values/Result.h"

namespace krvctl {

// Exactly four decimal numbers 0-255 separated by single dots, without signs, spaces or
// leading zeros: the form the controller's own address check accepts. Host byte order.
Result<std::uint32_t> parseDottedQuad(std::string_view text);

std::string formatDottedQuad(std::uint32_t address);

// The number of leading one bits, or nothing when ones and zeros are mixed.
std::optional<int> prefixLength(std::uint32_t netmask);

}  // namespace krvctl
