#pragma once

#include <string>
#include <string_view>

#include "krvctl/values/Result.h"

namespace krvctl {

// Six hex octets in any letter case, separated by ":" or "-" (one kind throughout) or not at
// all; the result is the form the daemon reports and compares: upper case, colons.
Result<std::string> normalizeMac(std::string_view text);

}  // namespace krvctl
