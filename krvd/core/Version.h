#pragma once

#include <cstdint>

#include "protocol/Wire.h"

namespace krvd {

// The release of the programs, set once in the top-level CMakeLists.txt.
inline constexpr const char* kVersion = KRV_VERSION;
inline constexpr std::uint16_t kPort = krv::wire::kPort;

}  // namespace krvd
